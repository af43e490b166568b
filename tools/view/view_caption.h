// The viewer's window caption: what is loading, then the model's name with
// the frame rate, Mrays/s, threads and triangles, measured over windows of
// a little more than a second as the demo's caption is.
#pragma once

#include <cstdint>
#include <string>

namespace vantrel {

struct FrameMeter {
    double windowStart; // seconds, of the clock the caller passes
    uint32_t frames;
    uint64_t rays;
};

void startFrameMeter(FrameMeter& meter, double now);

struct FrameFigures {
    double framesPerSecond;
    double megaRaysPerSecond;
};

// Counts one frame and its rays. When more than a second has passed since
// the window started, puts the window's figures in figures, starts the next
// window at now and returns true.
bool meterFrame(FrameMeter& meter, uint32_t rays, double now, FrameFigures& figures);

// "bunny.ply - 63fps/12.40Mrays/s, 2 threads, 69451 triangles"
std::string figuresCaption(const std::string& name, const FrameFigures& figures, uint32_t threads,
                           uint32_t triangles);

// "bunny.ply - vantrel-view"
std::string plainCaption(const std::string& name);

// "vantrel-view: <step>", with the seconds spent so far once there is one.
std::string progressCaption(const std::string& step, double seconds);

// The last part of a path: what the caption calls the model.
std::string modelName(const std::string& path);

} // namespace vantrel
