// Threads that trace through contexts of their own must find exactly what one
// thread finds: every pixel of a frame for every thread count and kernel,
// every hit of rays traced at once through one tree, and the same ray count,
// while other threads build trees. ThreadSanitizer runs this program too.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/compiled_tree_diff.h"
#include "tests/test_support.h"
#include "vantrel/app/demo_scene.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/tracer/camera.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/packet_trace.h"
#include "vantrel/tracer/query.h"
#include "vantrel/tracer/render.h"
#include "vantrel/tracer/trace_context.h"
#include "vantrel/tracer/traverse.h"
#include "vantrel/tracer/worker_pool.h"

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {

// A scene of spheres, triangles or both, compiled into a tree and listed as
// the window lists its tree.
struct Scene {
    std::vector<Sphere> spheres;
    std::vector<Triangle> triangles;
    std::vector<PrimitiveRef> refs;
    Tree tree;
    PrimitiveRef top{};
    int method;

    Scene(uint32_t sphereCount, uint32_t gridSide, int buildMethod) : method(buildMethod) {
        spheres.resize(sphereCount);
        std::vector<PrimitiveRef> sphereRefs(sphereCount);
        fillDemoSpheres(spheres.data(), sphereRefs.data(), sphereCount);
        // A rippled sheet through the middle of the sphere field, two
        // triangles a cell, so that leaves hold both kinds.
        const auto height = [](float x, float z) {
            return 0.8f * x + 6.0f * std::sin(x * 0.7f + z * 0.4f);
        };
        const float cell = 22.0f / static_cast<float>(std::max(gridSide, 1u));
        for (uint32_t i = 0; i < gridSide; ++i) {
            for (uint32_t j = 0; j < gridSide; ++j) {
                const float x0 = -11.0f + cell * i, z0 = -11.0f + cell * j;
                const float x1 = x0 + cell, z1 = z0 + cell;
                const Vector3 a{x0, height(x0, z0), z0}, b{x1, height(x1, z0), z0};
                const Vector3 c{x0, height(x0, z1), z1}, d{x1, height(x1, z1), z1};
                const Material grey{0.5f + 0.5f * ((i + j) % 2), 0.6f, 0.7f, 0.0f};
                triangles.push_back({a, b, c, grey});
                triangles.push_back({b, d, c, grey});
            }
        }
        referenceAll(spheres, triangles, refs);
        const PrimitiveList list = listOf(refs);
        KdTree* built = nullptr;
        buildKdTree(&built, &list, method);
        tree.reset(built);
        top = {built, PrimitiveType::NestedTree};
    }
    PrimitiveList list() { return {&top, 1}; }
};

// A target whose size is no whole number of tiles, so that the tiles at the
// right and bottom edges are cut.
struct Frame {
    RenderTarget target{};
    std::vector<uint8_t> pixels;

    Frame(uint32_t width, uint32_t height) : pixels(size_t{width} * height * 3) {
        target = {width, height, nullptr, pixels.data()};
        buildRayTable(target, {1.0f, 1.3333334f, 1.0f});
    }
    ~Frame() { delete[] target.rays; }
    Frame(const Frame&) = delete;
    void clear() { std::fill(pixels.begin(), pixels.end(), uint8_t{0x5a}); }
};

struct Rendered {
    std::vector<uint8_t> pixels;
    uint32_t rays;
};

template <class Render> Rendered render(Scene& scene, Frame& frame, Render&& draw) {
    frame.clear();
    scene.tree->rayCount = 0;
    draw(scene.list(), frame.target);
    return {frame.pixels, scene.tree->rayCount};
}

uint32_t litPixels(const Rendered& frame) {
    uint32_t lit = 0;
    for (size_t i = 0; i < frame.pixels.size(); i += 3)
        lit += (frame.pixels[i] | frame.pixels[i + 1] | frame.pixels[i + 2]) != 0;
    return lit;
}

void expectSameFrame(const Rendered& expected, const Rendered& actual, const char* how) {
    EXPECT_EQ(expected.rays, actual.rays) << how;
    EXPECT_TRUE(expected.pixels == actual.pixels) << how;
}

} // namespace

// Pools of 2, 3, 4 and 8 threads (more than this machine's cores, too; from
// three on, the bands of rows the threads share are cut across as well),
// every kernel, spheres and triangles: the one-thread frame, pixel for pixel
// and ray for ray, frame after frame of one pool.
TEST(ThreadedFrame, EveryThreadCountAndKernelDrawsTheOneThreadFrame) {
    KernelGuard guard;
    Frame frame(200, 150);
    Frame tiny(13, 6);
    std::vector<std::unique_ptr<WorkerPool>> pools;
    for (uint32_t threads : {2u, 3u, 4u, 8u})
        pools.push_back(std::make_unique<WorkerPool>(threads));
    TraceContext own;
    struct Case {
        uint32_t spheres;
        uint32_t gridSide;
        int method;
    };
    for (const Case& c : {Case{6000, 0, 0}, Case{0, 40, 1}, Case{3000, 30, 2}}) {
        Scene scene(c.spheres, c.gridSide, c.method);
        for (Kernel kernel : availableKernels()) {
            selectKernel(kernel);
            for (int32_t clockMs : {0, 5000}) {
                SCOPED_TRACE(::testing::Message() << kernelName(kernel) << ", method " << c.method
                                                  << ", " << clockMs << " ms");
                const Matrix4 camera = cameraMatrixAt(clockMs);
                const Rendered alone = render(scene, frame, [&](auto list, RenderTarget& target) {
                    renderFrame(list, target, camera);
                });
                EXPECT_EQ(alone.rays, frame.target.width * frame.target.height);
                EXPECT_GT(litPixels(alone), frame.target.width * frame.target.height / 20);
                expectSameFrame(alone,
                                render(scene, frame,
                                       [&](auto list, RenderTarget& target) {
                                           renderFrame(own, list, target, camera);
                                       }),
                                "a context of its own");
                const auto onPool = [&](WorkerPool& pool) {
                    return [&](auto list, RenderTarget& target) {
                        renderFrame(pool, list, target, camera);
                    };
                };
                for (auto& pool : pools) {
                    expectSameFrame(alone, render(scene, frame, onPool(*pool)),
                                    (std::to_string(pool->threadCount()) + " threads").c_str());
                }
                // Narrower than a traced tile and lower than a band.
                const Rendered tinyAlone =
                    render(scene, tiny, [&](auto list, RenderTarget& target) {
                        renderFrame(list, target, camera);
                    });
                for (auto& pool : pools)
                    expectSameFrame(tinyAlone, render(scene, tiny, onPool(*pool)), "13x6");
                if (::testing::Test::HasFailure())
                    return;
            }
        }
    }
}

namespace {

// The frame of a query scene, drawn by draw, and the rays of its pixels as
// the frame makes them (the camera's turn of the ray table, each component
// kept off zero), for the queries' own answers.
template <class Draw> std::vector<uint8_t> queryFrame(Frame& frame, Draw&& draw) {
    frame.clear();
    draw(frame.target);
    return frame.pixels;
}

Vector3 pixelDirection(const Matrix4& camera, const Vector3& l) {
    const float* m = camera.m;
    return {keepOffZero(m[0] * l.x + m[4] * l.y + m[8] * l.z),
            keepOffZero(m[1] * l.x + m[5] * l.y + m[9] * l.z),
            keepOffZero(m[2] * l.x + m[6] * l.y + m[10] * l.z)};
}

} // namespace

// Frames of query scenes (from a list of spheres and triangles, from one
// whose shapes share a material, and from arrays of triangles) under every
// kernel, on one thread and on pools of 2, 3, 4 and 8: pixel for pixel the
// scalar kernel's, which traces every ray alone; a pixel is lit exactly
// where its ray's query finds a hit. A shared material the hierarchy keeps
// draws as the records it was read from.
TEST(ThreadedFrame, QueryScenesDrawTheFrameOfRaysTracedAlone) {
    KernelGuard guard;
    Frame frame(200, 150);
    Scene mixed(3000, 30, 0);
    QueryScene list;
    ASSERT_EQ(buildQueryScene(list, listOf(mixed.refs), QueryBuildOptions{}), BuildResult::Built);
    std::vector<float> vertices;
    std::vector<uint32_t> indices;
    for (const Triangle& t : mixed.triangles)
        for (const Vector3& v : {t.V0, t.V1, t.V2}) {
            indices.push_back(static_cast<uint32_t>(vertices.size() / 3));
            vertices.insert(vertices.end(), {v.x, v.y, v.z});
        }
    QueryScene arrays;
    ASSERT_EQ(buildQueryScene(arrays, vertices.data(), static_cast<uint32_t>(vertices.size() / 3),
                              indices.data(), static_cast<uint32_t>(indices.size() / 3),
                              QueryBuildOptions{}),
              BuildResult::Built);
    // The same shapes of one material, which the hierarchy keeps; and with
    // a sphere of another far out of view, so that hits read their records.
    std::vector<Sphere> spheres = mixed.spheres;
    std::vector<Triangle> triangles = mixed.triangles;
    std::vector<Sphere> farOff{{{0, -1e5f, 0}, 1, {0, 0, 1, 0}}};
    for (Sphere& s : spheres)
        s.material = {0.7f, 0.4f, 0.2f, 0};
    for (Triangle& t : triangles)
        t.material = {0.7f, 0.4f, 0.2f, 0};
    std::vector<PrimitiveRef> sharedRefs;
    referenceAll(spheres, triangles, sharedRefs);
    std::vector<PrimitiveRef> ownRefs = sharedRefs;
    ownRefs.push_back(ref(farOff[0]));
    QueryScene shared;
    QueryScene recorded;
    ASSERT_EQ(buildQueryScene(shared, listOf(sharedRefs), QueryBuildOptions{}), BuildResult::Built);
    ASSERT_EQ(buildQueryScene(recorded, listOf(ownRefs), QueryBuildOptions{}), BuildResult::Built);
    std::vector<std::unique_ptr<WorkerPool>> pools;
    for (uint32_t threads : {2u, 3u, 4u, 8u})
        pools.push_back(std::make_unique<WorkerPool>(threads));
    TraceContext own;
    const Matrix4 camera = cameraMatrixAt(5000);
    for (FrameLight light : {FrameLight::Renderer, FrameLight::Model})
        EXPECT_TRUE(queryFrame(frame, [&](RenderTarget& target) {
                        renderFrame(own, shared, target, camera, light);
                    }) == queryFrame(frame, [&](RenderTarget& target) {
                        renderFrame(own, recorded, target, camera, light);
                    }));
    for (const QueryScene* scene : {&list, &arrays, &shared}) {
        for (FrameLight light : {FrameLight::Renderer, FrameLight::Model}) {
            selectKernel(Kernel::Scalar);
            const std::vector<uint8_t> alone = queryFrame(frame, [&](RenderTarget& target) {
                renderFrame(own, *scene, target, camera, light);
            });
            uint32_t lit = 0;
            for (size_t i = 0; i < size_t{frame.target.width} * frame.target.height; i += 7) {
                QueryHit hit;
                const bool found =
                    intersectNearest(own, *scene,
                                     {{camera.m[12], camera.m[13], camera.m[14]},
                                      pixelDirection(camera, frame.target.rays[i].direction),
                                      0.0f,
                                      INFINITY},
                                     hit);
                // Lit by the model's light, a hit is never black, but on a
                // material too dark to show.
                const uint8_t* p = &alone[3 * i];
                const Material& c = hit.material;
                if (!found) {
                    ASSERT_EQ(p[0] | p[1] | p[2], 0) << "pixel " << i;
                } else if (light == FrameLight::Model &&
                           std::max({c.red, c.green, c.blue}) >= 0.05f) {
                    ASSERT_NE(p[0] | p[1] | p[2], 0) << "pixel " << i;
                }
                lit += found;
            }
            EXPECT_GT(lit, 300u);
            for (Kernel kernel : availableKernels()) {
                selectKernel(kernel);
                SCOPED_TRACE(kernelName(kernel));
                EXPECT_TRUE(alone == queryFrame(frame, [&](RenderTarget& target) {
                                renderFrame(own, *scene, target, camera, light);
                            }));
                for (auto& pool : pools)
                    EXPECT_TRUE(alone == queryFrame(frame,
                                                    [&](RenderTarget& target) {
                                                        renderFrame(*pool, *scene, target, camera,
                                                                    light);
                                                    }))
                        << pool->threadCount() << " threads";
            }
        }
    }
    releaseQueryScene(list);
    releaseQueryScene(arrays);
    releaseQueryScene(shared);
    releaseQueryScene(recorded);
}

// A model a thousand times smaller, seen from a camera a thousand times
// nearer, shows the same: the queries' triangle test has no size bound.
TEST(ThreadedFrame, AModelLooksTheSameAtAThousandthOfItsSize) {
    Scene sheet(0, 40, 0);
    Frame frame(160, 120);
    WorkerPool pool(2);
    std::vector<std::vector<uint8_t>> frames;
    for (float scale : {1.0f, 0.001f}) {
        std::vector<float> vertices;
        std::vector<uint32_t> indices;
        for (const Triangle& t : sheet.triangles)
            for (const Vector3& v : {t.V0, t.V1, t.V2}) {
                indices.push_back(static_cast<uint32_t>(vertices.size() / 3));
                vertices.insert(vertices.end(), {v.x * scale, v.y * scale, v.z * scale});
            }
        QueryScene scene;
        ASSERT_EQ(buildQueryScene(scene, vertices.data(),
                                  static_cast<uint32_t>(vertices.size() / 3), indices.data(),
                                  static_cast<uint32_t>(indices.size() / 3), QueryBuildOptions{}),
                  BuildResult::Built);
        const Matrix4 camera =
            cameraLookingAt({10.0f * scale, 18.0f * scale, -16.0f * scale}, {0.0f, 0.0f, 0.0f});
        frames.push_back(queryFrame(frame, [&](RenderTarget& target) {
            renderFrame(pool, scene, target, camera, FrameLight::Model);
        }));
        releaseQueryScene(scene);
    }
    uint32_t lit = 0;
    uint32_t differ = 0;
    for (size_t i = 0; i < frames[0].size(); i += 3) {
        const bool a = (frames[0][i] | frames[0][i + 1] | frames[0][i + 2]) != 0;
        const bool b = (frames[1][i] | frames[1][i + 1] | frames[1][i + 2]) != 0;
        lit += a;
        differ += a != b || std::abs(frames[0][i] - frames[1][i]) > 2;
    }
    EXPECT_GT(lit, frames[0].size() / 3 / 4);
    EXPECT_LE(differ, frames[0].size() / 3 / 200);
}

namespace {

// Random rays through the scene, from inside the tree's box and outside it,
// each direction kept off zero as the renderer keeps primary rays.
std::vector<Ray> randomRays(uint32_t count, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<Ray> rays;
    while (rays.size() < count) {
        const float spread = rays.size() % 2 ? 8.0f : 30.0f;
        const Vector3 o{randomFloat(random, -spread, spread), randomFloat(random, -spread, spread),
                        randomFloat(random, -spread, spread)};
        const Vector3 aim{randomFloat(random, -9, 9), randomFloat(random, -9, 9),
                          randomFloat(random, -9, 9)};
        const Vector3 d{aim.x - o.x, aim.y - o.y, aim.z - o.z};
        const float length = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
        if (length < 0.5f)
            continue;
        rays.push_back(
            {o, {keepOffZero(d.x / length), keepOffZero(d.y / length), keepOffZero(d.z / length)}});
    }
    return rays;
}

struct Answer {
    int hit = 0;
    HitRecord record{};
};

bool same(const Answer& a, const Answer& b) {
    return (a.hit != 0) == (b.hit != 0) && (a.hit == 0 || sameBits(a.record, b.record));
}

// Ray i through the list test, the tree's walk or, for a ray whose index
// starts a block of packet lanes, the lanes of that block as a packet.
enum class Query { List, Tree, Packet };

void answer(TraceContext& context, Scene& scene, const std::vector<Ray>& rays, uint32_t i,
            Query query, std::vector<Answer>& answers) {
    if (query == Query::Packet) {
        const uint32_t lanes = packetLaneCount();
        if (i % lanes != 0)
            return;
        // The lanes share the first ray's origin; their directions are the
        // block's own.
        RayPacket packet{};
        packet.origin = rays[i].origin;
        for (uint32_t lane = 0; lane < lanes; ++lane)
            setLaneDirection(packet, lane,
                             rays[std::min<size_t>(i + lane, rays.size() - 1)].direction);
        PacketHits hits;
        intersectKdTreePacket(context, *scene.tree, packet, hits);
        for (uint32_t lane = 0; lane < lanes && i + lane < rays.size(); ++lane) {
            const bool hit = (hits.hitMask >> lane) & 1u;
            answers[i + lane] = {hit, hit ? hits.hit[lane] : HitRecord{}};
        }
        return;
    }
    const int hit = query == Query::List ? intersectList(context, scene.list(), rays[i])
                                         : intersectKdTree(context, *scene.tree, rays[i]);
    answers[i] = {hit, hit ? context.hit : HitRecord{}};
}

// The answers of one thread through the program's own context, and the rays
// the tree counted for them.
std::vector<Answer> oneThread(Scene& scene, const std::vector<Ray>& rays, Query query,
                              uint32_t& counted) {
    std::vector<Answer> answers(rays.size());
    scene.tree->rayCount = 0;
    for (uint32_t i = 0; i < rays.size(); ++i)
        answer(programTraceContext, scene, rays, i, query, answers);
    addRayCounts(programTraceContext);
    counted = scene.tree->rayCount;
    return answers;
}

} // namespace

// Four threads of the caller's own, each with a context, and a pool's batch:
// each ray gets the one-thread answer to the bit, and the tree counts every
// ray once.
TEST(ConcurrentQueries, ThreadsTracingOneTreeGetTheOneThreadAnswers) {
    KernelGuard guard;
    Scene scene(4000, 24, 0);
    const std::vector<Ray> rays = randomRays(6000, 11);
    WorkerPool pool(3);
    for (Kernel kernel : availableKernels()) {
        selectKernel(kernel);
        for (Query query : {Query::List, Query::Tree, Query::Packet}) {
            SCOPED_TRACE(::testing::Message()
                         << kernelName(kernel) << ", query " << static_cast<int>(query));
            uint32_t counted = 0;
            const std::vector<Answer> expected = oneThread(scene, rays, query, counted);
            const size_t hits = std::count_if(expected.begin(), expected.end(),
                                              [](const Answer& a) { return a.hit != 0; });
            EXPECT_GT(hits, rays.size() / 8);
            EXPECT_GE(counted, rays.size());

            constexpr uint32_t threadCount = 4;
            std::vector<Answer> answers(rays.size());
            std::vector<std::unique_ptr<TraceContext>> contexts;
            for (uint32_t t = 0; t < threadCount; ++t)
                contexts.push_back(std::make_unique<TraceContext>());
            std::vector<std::thread> threads;
            scene.tree->rayCount = 0;
            const uint32_t lanes = packetLaneCount();
            for (uint32_t t = 0; t < threadCount; ++t) {
                // Interleaved blocks of a packet's lanes, so that neighbouring
                // answers come from different threads.
                threads.emplace_back([&, t] {
                    for (uint32_t i = t * lanes; i < rays.size(); i += threadCount * lanes) {
                        for (uint32_t k = i; k < i + lanes && k < rays.size(); ++k)
                            answer(*contexts[t], scene, rays, k, query, answers);
                    }
                });
            }
            for (std::thread& thread : threads)
                thread.join();
            for (auto& context : contexts)
                addRayCounts(*context);
            EXPECT_EQ(scene.tree->rayCount, counted) << "threads of the caller's own";
            for (uint32_t i = 0; i < rays.size(); ++i)
                ASSERT_TRUE(same(expected[i], answers[i])) << "ray " << i << ", own threads";

            std::fill(answers.begin(), answers.end(), Answer{});
            scene.tree->rayCount = 0;
            pool.run(static_cast<uint32_t>(rays.size()), [&](uint32_t i, TraceContext& context) {
                answer(context, scene, rays, i, query, answers);
            });
            EXPECT_EQ(scene.tree->rayCount, counted) << "a pool's batch";
            for (uint32_t i = 0; i < rays.size(); ++i)
                ASSERT_TRUE(same(expected[i], answers[i])) << "ray " << i << ", pool";
        }
    }
}

// A pool runs every item of every batch once, on its own threads' contexts,
// batch after batch, and batches given from two threads at once.
TEST(WorkerPool, RunsEveryItemOnceOnItsThreadsContexts) {
    WorkerPool pool(3);
    ASSERT_EQ(pool.threadCount(), 3u);
    EXPECT_EQ(WorkerPool(0).threadCount(), std::max(1u, std::thread::hardware_concurrency()));
    for (uint32_t count : {0u, 1u, 2u, 5u, 3000u}) {
        std::vector<std::atomic<int>> runs(count);
        std::atomic<bool> foreignContext{false};
        pool.run(count, [&](uint32_t item, TraceContext& context) {
            runs[item].fetch_add(1);
            if (&context != &pool.context(0) && &context != &pool.context(1) &&
                &context != &pool.context(2))
                foreignContext = true;
        });
        for (uint32_t i = 0; i < count; ++i)
            ASSERT_EQ(runs[i].load(), 1) << "item " << i << " of " << count;
        EXPECT_FALSE(foreignContext.load());
    }
    // Runs of indices: each index once, in runs of at most the length asked
    // that begin on a multiple of it.
    for (size_t count : {size_t{0}, size_t{1}, size_t{255}, size_t{256}, size_t{257}, size_t{5000}})
        for (size_t length : {size_t{1}, size_t{7}, size_t{256}, size_t{100000}}) {
            std::vector<std::atomic<int>> seen(count);
            std::atomic<bool> badRun{false};
            pool.runRanges(count, length, [&](size_t first, size_t end, TraceContext&) {
                badRun = badRun || first % length != 0 || end <= first || end - first > length ||
                         end > count;
                for (size_t i = first; i < end && i < count; ++i)
                    seen[i].fetch_add(1);
            });
            EXPECT_FALSE(badRun.load()) << count << " in runs of " << length;
            for (size_t i = 0; i < count; ++i)
                ASSERT_EQ(seen[i].load(), 1) << i << " of " << count << " in runs of " << length;
        }
    std::vector<std::atomic<int>> runs(2 * 500);
    std::thread other([&] {
        pool.run(500, [&](uint32_t item, TraceContext&) { runs[500 + item].fetch_add(1); });
    });
    pool.run(500, [&](uint32_t item, TraceContext&) { runs[item].fetch_add(1); });
    other.join();
    for (size_t i = 0; i < runs.size(); ++i)
        ASSERT_EQ(runs[i].load(), 1) << "item " << i << " of two batches at once";
}

// Trees built on three threads at once while a pool traces another tree come
// out bit for bit as built one after the other, and every frame traced
// meanwhile is the one-thread frame.
TEST(TracingWhileBuilding, TreesBuiltMeanwhileAndFramesTracedMeanwhileAreAsAlone) {
    Scene traced(4000, 24, 0);
    Frame frame(160, 120);
    const Matrix4 camera = cameraMatrixAt(5000);
    const Rendered alone = render(
        traced, frame, [&](auto list, RenderTarget& target) { renderFrame(list, target, camera); });
    // Built one after the other here; built again below, all at once.
    Scene built[] = {Scene(3000, 0, 1), Scene(0, 30, 2), Scene(2000, 20, 0)};
    KdTree* rebuilt[3] = {};
    std::atomic<int> building{3};
    std::vector<std::thread> builders;
    for (int i = 0; i < 3; ++i) {
        builders.emplace_back([&, i] {
            const PrimitiveList list = listOf(built[i].refs);
            buildKdTree(&rebuilt[i], &list, built[i].method);
            building.fetch_sub(1);
        });
    }
    WorkerPool pool(2);
    int frames = 0;
    do {
        expectSameFrame(alone,
                        render(traced, frame,
                               [&](auto list, RenderTarget& target) {
                                   renderFrame(pool, list, target, camera);
                               }),
                        "a frame traced while trees are built");
        ++frames;
    } while (building.load() > 0);
    for (std::thread& builder : builders)
        builder.join();
    for (int i = 0; i < 3; ++i) {
        const Tree tree(rebuilt[i]);
        ASSERT_NE(rebuilt[i], nullptr);
        EXPECT_EQ(compiledTreeDifference(*built[i].tree, *tree), "")
            << "method " << built[i].method;
    }
    EXPECT_GE(frames, 1);
}
