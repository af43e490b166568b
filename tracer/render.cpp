#include "vantrel/tracer/render.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/geometry_query.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/kernel_table.h"
#include "vantrel/tracer/lanes_scalar.h"
#include "vantrel/tracer/packet_trace.h"
#include "vantrel/tracer/primary_rays.h"
#include "vantrel/tracer/query.h"
#include "vantrel/tracer/query_hits.h"
#include "vantrel/tracer/scratch_pool.h"
#include "vantrel/tracer/shade.h"
#include "vantrel/tracer/trace_context.h"
#include "vantrel/tracer/worker_pool.h"

namespace vantrel {

namespace {

// Tiles at or below this size are traced; larger ones are cut into tiles of
// their own size, each traced with half of it.
constexpr uint32_t traceTileSize = 16;
// The one-thread frame's tiles.
constexpr uint32_t frameTileSize = 32;

using F = scalar::Floats;

Vector3 pixelDirection(const float* m, const Vector3& l) {
    F direction[3];
    worldDirection<F>(m, l.x, l.y, l.z, direction);
    return {direction[0].v, direction[1].v, direction[2].v};
}

void clearColour(TraceContext& context) {
    context.colour[0] = 0.0f;
    context.colour[1] = 0.0f;
    context.colour[2] = 0.0f;
}

void writePixel(const TraceContext& context, uint8_t* pixel) {
    pixel[0] = channelToByte(context.colour[0]);
    pixel[1] = channelToByte(context.colour[1]);
    pixel[2] = channelToByte(context.colour[2]);
}

// The scene's one tree, when the scene is nothing but a tree and packets run
// here; blocks of pixels are then walked together.
const KdTree* packetTree(const PrimitiveList& scene) {
    if (!packetsSupported() || scene.count != 1 || scene.items[0].type != PrimitiveType::NestedTree)
        return nullptr;
    return static_cast<const KdTree*>(scene.items[0].object);
}

// A packet covers a block four pixels wide and as high as its lanes make it
// (two rows or four): the squarer the block, the more its rays share their
// cells.
constexpr uint32_t packetWidth = 4;

void tracePixel(TraceContext& context, const PrimitiveList& scene, RenderTarget& target,
                const float* m, size_t i) {
    // Stored whole: the walk reads the components in pairs, and a pair load
    // cannot be served from two separate recent stores.
    const Ray ray{{m[12], m[13], m[14]}, pixelDirection(m, target.rays[i].direction)};
    clearColour(context);
    shade(context, scene, scene, 0, ray, 1.0f);
    writePixel(context, target.pixels + 3 * i);
}

void lightHit(const QueryHit& hit, const Vector3& direction, FrameLight light, float colour[3]);
void writeHit(const QueryHit& hit, const Vector3& direction, FrameLight light, uint8_t* pixel);

void traceQueryPixel(TraceContext& context, const QueryScene& scene, FrameLight light,
                     RenderTarget& target, const float* m, size_t i) {
    const Vector3 direction = pixelDirection(m, target.rays[i].direction);
    QueryHit hit;
    intersectNearest(context, scene, {{m[12], m[13], m[14]}, direction, 0.0f, INFINITY}, hit);
    writeHit(hit, direction, light, target.pixels + 3 * i);
}

// What shade does for the rays of the block at (x, y), given the hits that
// the scene's tree gave them as a packet.
template <uint32_t lanes>
void tracePacketPixels(TraceContext& context, const PrimitiveList& scene, const KdTree& tree,
                       RenderTarget& target, const Matrix4& camera, uint32_t x, uint32_t y) {
    const float* m = camera.m;
    size_t pixel[lanes];
    RayPacket packet;
    packet.origin = {m[12], m[13], m[14]};
    for (uint32_t lane = 0; lane < lanes; ++lane) {
        pixel[lane] =
            static_cast<size_t>(y + lane / packetWidth) * target.width + x + lane % packetWidth;
    }
    kernelInUse.packetDirections(camera, target.rays, pixel, packet);
    PacketHits hits;
    intersectKdTreePacket(context, tree, packet, hits);
    for (uint32_t lane = 0; lane < lanes; ++lane) {
        clearColour(context);
        uint8_t* bytes = target.pixels + 3 * pixel[lane];
        loadLaneHit(context, hits, lane);
        if (hits.hitMask & (1u << lane)) {
            shadeHit(context, scene, 0, {packet.origin, laneDirection(packet, lane)}, 1.0f);
            writePixel(context, bytes);
        } else {
            // Nothing was added to the cleared colour: black.
            bytes[0] = bytes[1] = bytes[2] = 0;
        }
    }
}

// The ray table is read a few pixels of a row at a time, rows apart, which
// the processor does not foresee: ask for the next rows' rays in advance.
void prefetchRays(const RenderTarget& target, uint32_t x0, uint32_t x1, uint32_t y, uint32_t y1,
                  uint32_t rows) {
    constexpr size_t lineBytes = 64;
    for (uint32_t row = y; row < y1 && row < y + rows; ++row) {
        const Ray* rays = target.rays + size_t{row} * target.width;
        const char* first = reinterpret_cast<const char*>(rays + x0);
        const char* last = reinterpret_cast<const char*>(rays + x1) - 1;
        for (const char* line = first; line < last; line += lineBytes)
            __builtin_prefetch(line);
        __builtin_prefetch(last);
    }
}

void traceRegion(TraceContext& context, const PrimitiveList& scene, RenderTarget& target,
                 const Matrix4& camera, uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
    const float* m = camera.m;
    const KdTree* tree = packetTree(scene);
    uint32_t y = y0;
    if (tree != nullptr) {
        const uint32_t lanes = packetLaneCount();
        const uint32_t packetHeight = lanes / packetWidth;
        // Whole blocks as packets; the columns left over, one ray at a time.
        for (; y < y1 && y1 - y >= packetHeight; y += packetHeight) {
            prefetchRays(target, x0, x1, y + packetHeight, y1, packetHeight);
            uint32_t x = x0;
            for (; x < x1 && x1 - x >= packetWidth; x += packetWidth) {
                // The lane count as a constant, so the per-lane loops unroll.
                if (lanes == maxPacketLanes)
                    tracePacketPixels<maxPacketLanes>(context, scene, *tree, target, camera, x, y);
                else
                    tracePacketPixels<maxPacketLanes / 2>(context, scene, *tree, target, camera, x,
                                                          y);
            }
            for (uint32_t row = y; row < y + packetHeight; ++row) {
                for (uint32_t column = x; column < x1; ++column)
                    tracePixel(context, scene, target, m,
                               static_cast<size_t>(row) * target.width + column);
            }
        }
    }
    for (; y < y1; ++y) {
        for (uint32_t x = x0; x < x1; ++x)
            tracePixel(context, scene, target, m, static_cast<size_t>(y) * target.width + x);
    }
}

// How a pool's threads share a frame: in bands of rows as wide as the frame,
// so that pieces traced at the same moment write no line of the pixels in
// common and each reads whole rows of the ray table. On two threads, 32x32
// tiles side by side ran the human scan 0.85 times as fast, and down the
// columns 0.93 times (on one thread too: the ray table's rows were read a
// few lines at a time). Bands are 32 rows high and narrow towards the
// frame's end, so that the threads finish together; where the threads
// outnumber the bands, each band is also cut across into slices.
struct FrameBands {
    uint32_t height;
    uint32_t columns;  // of traced tiles across the frame
    uint32_t slices;   // pieces of a band, side by side
    uint32_t takers;   // the threads, times the pieces each should find left
    uint64_t pieceEnd; // a piece is numbered row * slices + slice
};

constexpr uint32_t bandHeight = 32;
// Bands begin on a multiple of this, so that the packets cover the blocks
// the one-thread frame's packets cover.
constexpr uint32_t bandStep = 4;
// Pieces each thread should find left as the bands narrow. One, two and
// four ran alike on two threads (the threads finished a frame of the human
// scan 6-7 us apart); two leaves each of many threads a piece in hand to
// the end.
constexpr uint32_t piecesPerThread = 2;

FrameBands frameBands(const RenderTarget& target, uint32_t threads) {
    FrameBands bands{};
    bands.height = target.height;
    bands.columns = (target.width + traceTileSize - 1) / traceTileSize;
    bands.takers = threads * piecesPerThread;
    const uint32_t fullBands = std::max((target.height + bandHeight - 1) / bandHeight, 1u);
    bands.slices =
        std::clamp((bands.takers + fullBands - 1) / fullBands, 1u, std::max(bands.columns, 1u));
    bands.pieceEnd = uint64_t{bands.height} * bands.slices;
    return bands;
}

// The row after the band that begins at row.
uint32_t bandEnd(const FrameBands& bands, uint32_t row) {
    const uint64_t share = uint64_t{bands.height - row} * bands.slices / bands.takers;
    const uint64_t rows = std::clamp<uint64_t>(share / bandStep * bandStep, bandStep, bandHeight);
    return static_cast<uint32_t>(std::min<uint64_t>(row + rows, bands.height));
}

uint64_t pieceAfter(const FrameBands& bands, uint64_t piece) {
    if (piece % bands.slices + 1 < bands.slices)
        return piece + 1;
    return uint64_t{bandEnd(bands, static_cast<uint32_t>(piece / bands.slices))} * bands.slices;
}

// Traces a piece in tiles of the traced size, down the band, left to right:
// region(context, x0, y0, x1, y1) traces a tile.
template <class Region>
void tracePiece(TraceContext& context, Region& region, uint32_t width, const FrameBands& bands,
                uint64_t piece) {
    const uint32_t y0 = static_cast<uint32_t>(piece / bands.slices);
    const uint32_t y1 = bandEnd(bands, y0);
    const uint64_t slice = piece % bands.slices;
    const uint64_t columns = bands.columns;
    const uint32_t x0 = static_cast<uint32_t>(columns * slice / bands.slices * traceTileSize);
    const uint32_t x1 = static_cast<uint32_t>(
        std::min<uint64_t>(columns * (slice + 1) / bands.slices * traceTileSize, width));
    for (uint32_t x = x0; x < x1; x += traceTileSize) {
        for (uint32_t y = y0; y < y1; y += traceTileSize) {
            const uint32_t saved = context.scratch.used;
            region(context, x, y, std::min(x + traceTileSize, x1), std::min(y + traceTileSize, y1));
            context.scratch.used = saved;
        }
    }
}

// A frame on every thread of pool, in bands.
template <class Region>
void renderInBands(WorkerPool& pool, const RenderTarget& target, Region&& region) {
    const FrameBands bands = frameBands(target, pool.threadCount());
    // The pool's item is a thread's turn: each takes pieces until none are
    // left, and the pool adds the threads' ray counts once they are done.
    alignas(64) std::atomic<uint64_t> nextPiece{0};
    pool.run(pool.threadCount(), [&](uint32_t, TraceContext& context) {
        uint64_t piece = nextPiece.load(std::memory_order_relaxed);
        for (;;) {
            uint64_t end;
            do {
                if (piece >= bands.pieceEnd)
                    return;
                end = pieceAfter(bands, piece);
            } while (!nextPiece.compare_exchange_weak(piece, end, std::memory_order_relaxed));
            tracePiece(context, region, target.width, bands, piece);
            piece = end;
        }
    });
}

// The colour of a query's hit, lit as light says.
void lightHit(const QueryHit& hit, const Vector3& direction, FrameLight light, float colour[3]) {
    Vector3 n = hit.normal;
    float intensity;
    if (light == FrameLight::Renderer) {
        // A sphere's normal faces the ray's origin, as the renderer's does.
        if (hit.type == PrimitiveType::Sphere && dot(n, direction) > 0.0f)
            n = n * -1.0f;
        intensity = static_cast<float>(0.707 * n.x + 0.7 - 0.707 * n.y);
    } else {
        // Towards the eye, whichever side of the surface it sees: a light
        // from the camera, the renderer's light at a quarter, and a little
        // ambient, which add up to white at most.
        if (dot(n, direction) > 0.0f)
            n = n * -1.0f;
        const float facing = -dot(n, direction) / std::sqrt(dot(direction, direction));
        const float lit = 0.70710677f * n.x - 0.70710677f * n.y;
        intensity = 0.2f + 0.55f * facing + 0.25f * std::max(lit, 0.0f);
    }
    colour[0] = intensity * hit.material.red;
    colour[1] = intensity * hit.material.green;
    colour[2] = intensity * hit.material.blue;
}

void writeHit(const QueryHit& hit, const Vector3& direction, FrameLight light, uint8_t* pixel) {
    if (hit.primitive == noPrimitive) {
        pixel[0] = pixel[1] = pixel[2] = 0;
        return;
    }
    float colour[3];
    lightHit(hit, direction, light, colour);
    pixel[0] = channelToByte(colour[0]);
    pixel[1] = channelToByte(colour[1]);
    pixel[2] = channelToByte(colour[2]);
}

// A block of a frame's pixels walked together, and what the walk found.
struct TracedBlock {
    size_t pixel[maxPacketLanes];
    RayPacket packet;
    BvhHit nearest[maxPacketLanes];
    uint32_t found = 0;
};

void prefetchEntries(const QueryScene& scene, const TracedBlock& block) {
    if (scene.list.items && scene.bvh->recordStride == 0)
        for (uint32_t rest = block.found; rest != 0; rest &= rest - 1)
            __builtin_prefetch(&scene.list.items[block.nearest[__builtin_ctz(rest)].index]);
}

void prefetchRecords(const QueryScene& scene, const TracedBlock& block) {
    if (scene.list.items && !scene.bvh->oneMaterial)
        for (uint32_t rest = block.found; rest != 0; rest &= rest - 1)
            __builtin_prefetch(recordOf(scene, block.nearest[__builtin_ctz(rest)].index));
}

void writeBlock(const QueryScene& scene, FrameLight light, const Vector3& eye,
                const TracedBlock& block, uint32_t lanes, uint8_t* pixels) {
    for (uint32_t lane = 0; lane < lanes; ++lane) {
        const Vector3 direction = laneDirection(block.packet, lane);
        QueryHit hit;
        if ((block.found >> lane & 1u) != 0)
            hitOfHierarchy(scene, {eye, direction, 0.0f, INFINITY}, block.nearest[lane], hit);
        else
            hit.primitive = noPrimitive;
        writeHit(hit, direction, light, pixels + 3 * block.pixel[lane]);
    }
}

// A tile of a query scene's frame: blocks of pixels whose rays the
// hierarchy walks together where the kernel walks rays from one point
// together, the rest ray by ray; each pixel as its ray's query answers.
void traceQueryRegion(TraceContext& context, const QueryScene& scene, FrameLight light,
                      RenderTarget& target, const Matrix4& camera, uint32_t x0, uint32_t y0,
                      uint32_t x1, uint32_t y1) {
    const float* m = camera.m;
    const Vector3 eye{m[12], m[13], m[14]};
    // A block is as many pixels as the kernel walks rays from one point: four
    // wide, two or four high. Where the scene has entries beside its
    // hierarchy, or the camera is not finite, each ray takes the queries'
    // own path, which answers for those.
    bool finite = true;
    for (const float value : camera.m)
        finite = finite && std::isfinite(value);
    const uint32_t lanes = kernelInUse.nearestFromOnePoint != nullptr && scene.bvh != nullptr &&
                                   scene.outsideTree.empty() && finite
                               ? kernelInUse.onePointLanes
                               : 0;
    // The end of a ray as the walks take it, as for a query's INFINITY.
    const float end = std::nextafter(noHitDistance, 0.0f);
    const uint32_t blockHeight = lanes / packetWidth;
    const uint32_t columns = lanes != 0 ? (x1 - x0) / packetWidth : 0;
    const uint32_t blockRows = lanes != 0 ? (y1 - y0) / blockHeight : 0;
    if (columns != 0 && blockRows != 0) {
        OnePointRays rays;
        rays.origin = eye;
        rays.count = lanes;
        std::fill_n(rays.tnear, lanes, 0.0f);
        std::fill_n(rays.tfar, lanes, end);
        // Three blocks in flight: a block's list entries are asked for as it
        // is walked (unless its records lie at one stride), its records as
        // the next is (unless they share a material), and its pixels lit as
        // the one after is, so that a large scene's records come in behind
        // the walks rather than a miss at a time.
        TracedBlock blocks[3];
        const uint32_t count = columns * blockRows;
        for (uint32_t k = 0; k < count + 2; ++k) {
            if (k < count) {
                TracedBlock& block = blocks[k % 3];
                const uint32_t x = x0 + k % columns * packetWidth;
                const uint32_t y = y0 + k / columns * blockHeight;
                if (x == x0)
                    prefetchRays(target, x0, x1, y + blockHeight, y1, blockHeight);
                for (uint32_t lane = 0; lane < lanes; ++lane)
                    block.pixel[lane] = static_cast<size_t>(y + lane / packetWidth) * target.width +
                                        x + lane % packetWidth;
                kernelInUse.packetDirections(camera, target.rays, block.pixel, block.packet);
                for (int axis = 0; axis < 3; ++axis)
                    std::copy_n(block.packet.direction[axis], lanes, rays.direction[axis]);
                block.found = kernelInUse.nearestFromOnePoint(*scene.bvh, rays, block.nearest);
                prefetchEntries(scene, block);
            }
            if (k >= 1 && k - 1 < count)
                prefetchRecords(scene, blocks[(k - 1) % 3]);
            if (k >= 2)
                writeBlock(scene, light, eye, blocks[(k - 2) % 3], lanes, target.pixels);
        }
    }
    // The pixels beside and below the blocks, ray by ray.
    const uint32_t blocksEndX = x0 + columns * packetWidth;
    const uint32_t blocksEndY = y0 + blockRows * blockHeight;
    for (uint32_t y = y0; y < y1; ++y)
        for (uint32_t x = y < blocksEndY ? blocksEndX : x0; x < x1; ++x)
            traceQueryPixel(context, scene, light, target, m,
                            static_cast<size_t>(y) * target.width + x);
}

} // namespace

float keepOffZero(float c) {
    return keepOffZeroLanes<F>(c).v;
}

void renderFrame(const PrimitiveList& scene, RenderTarget& target, const Matrix4& camera) {
    renderFrame(programTraceContext, scene, target, camera);
}

void renderFrame(TraceContext& context, const PrimitiveList& scene, RenderTarget& target,
                 const Matrix4& camera) {
    renderTile(context, scene, target, camera, 0, 0, target.width, target.height, frameTileSize);
    addRayCounts(context);
}

void renderFrame(WorkerPool& pool, const PrimitiveList& scene, RenderTarget& target,
                 const Matrix4& camera) {
    renderInBands(pool, target,
                  [&](TraceContext& context, uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
                      traceRegion(context, scene, target, camera, x0, y0, x1, y1);
                  });
}

void renderFrame(TraceContext& context, const QueryScene& scene, RenderTarget& target,
                 const Matrix4& camera, FrameLight light) {
    for (uint32_t y = 0; y < target.height; y += traceTileSize)
        for (uint32_t x = 0; x < target.width; x += traceTileSize)
            traceQueryRegion(context, scene, light, target, camera, x, y,
                             std::min(x + traceTileSize, target.width),
                             std::min(y + traceTileSize, target.height));
}

void renderFrame(WorkerPool& pool, const QueryScene& scene, RenderTarget& target,
                 const Matrix4& camera, FrameLight light) {
    renderInBands(pool, target,
                  [&](TraceContext& context, uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
                      traceQueryRegion(context, scene, light, target, camera, x0, y0, x1, y1);
                  });
}

void renderTile(const PrimitiveList& scene, RenderTarget& target, const Matrix4& camera,
                uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1, uint32_t size) {
    renderTile(programTraceContext, scene, target, camera, x0, y0, x1, y1, size);
    addRayCounts(programTraceContext);
}

void renderTile(TraceContext& context, const PrimitiveList& scene, RenderTarget& target,
                const Matrix4& camera, uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1,
                uint32_t size) {
    if (x1 > target.width) {
        x1 = target.width;
    }
    if (y1 > target.height) {
        y1 = target.height;
    }
    if (size <= traceTileSize) {
        traceRegion(context, scene, target, camera, x0, y0, x1, y1);
        return;
    }
    // Sub-tiles are clipped only to the image, so a ragged region is covered
    // up to the next tile boundary. Whatever a sub-tile takes from the
    // context's scratch arena is its own.
    for (uint32_t y = y0; y < y1; y += size) {
        for (uint32_t x = x0; x < x1; x += size) {
            const uint32_t saved = context.scratch.used;
            renderTile(context, scene, target, camera, x, y, x + size, y + size, size >> 1);
            context.scratch.used = saved;
        }
    }
}

void renderFrame(WorkerPool& pool, const GeometryScene& scene, RenderTarget& target,
                 const Matrix4& camera, FrameLight light) {
    if (scene.geometries.size() == 1 && scene.geometries[0].kind != GeometryKind::Instance) {
        renderFrame(pool, scene.geometries[0].query, target, camera, light);
        return;
    }
    const float* m = camera.m;
    renderInBands(
        pool, target,
        [&](TraceContext& context, uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
            for (uint32_t y = y0; y < y1; ++y)
                for (uint32_t x = x0; x < x1; ++x) {
                    const size_t i = static_cast<size_t>(y) * target.width + x;
                    const Vector3 direction = pixelDirection(m, target.rays[i].direction);
                    GeometryHit found;
                    QueryHit hit{};
                    hit.primitive = noPrimitive;
                    if (intersectNearest(context, scene,
                                         {{m[12], m[13], m[14]}, direction, 0.0f, INFINITY},
                                         found)) {
                        const Geometry& g = scene.geometries[found.geometry];
                        const GeometryKind kind =
                            g.kind == GeometryKind::Instance ? scene.geometries[g.of].kind : g.kind;
                        hit.t = found.t;
                        hit.normal = found.normal;
                        hit.material = {1.0f, 1.0f, 1.0f, 0.0f};
                        hit.primitive = found.primitive;
                        hit.type = kind == GeometryKind::Spheres ? PrimitiveType::Sphere
                                                                 : PrimitiveType::Triangle;
                    }
                    writeHit(hit, direction, light, target.pixels + 3 * i);
                }
        });
}

} // namespace vantrel
