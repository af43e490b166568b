#include "tools/view/view_caption.h"

#include <cstdio>

namespace vantrel {

void startFrameMeter(FrameMeter& meter, double now) {
    meter = {now, 0, 0};
}

bool meterFrame(FrameMeter& meter, uint32_t rays, double now, FrameFigures& figures) {
    ++meter.frames;
    meter.rays += rays;
    const double seconds = now - meter.windowStart;
    if (!(seconds > 1.0))
        return false;
    figures = {meter.frames / seconds, static_cast<double>(meter.rays) / seconds / 1e6};
    startFrameMeter(meter, now);
    return true;
}

std::string figuresCaption(const std::string& name, const FrameFigures& figures, uint32_t threads,
                           uint32_t triangles) {
    char text[128];
    // Slow frames keep a decimal, so that 0.4fps does not read as 0.
    std::snprintf(text, sizeof text, "%.*ffps/%.2fMrays/s, %u thread%s, %u triangles",
                  figures.framesPerSecond < 10.0 ? 1 : 0, figures.framesPerSecond,
                  figures.megaRaysPerSecond, threads, threads == 1 ? "" : "s", triangles);
    return name + " - " + text;
}

std::string plainCaption(const std::string& name) {
    return name + " - vantrel-view";
}

std::string progressCaption(const std::string& step, double seconds) {
    std::string caption = "vantrel-view: " + step;
    if (seconds >= 1.0)
        caption += " (" + std::to_string(static_cast<long>(seconds)) + " s)";
    return caption;
}

std::string modelName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace vantrel
