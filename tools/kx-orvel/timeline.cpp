#include "timeline.h"

namespace kxtool {

std::vector<WindowPosition> window_positions(size_t samples, size_t window, size_t hop, double rate) {
    std::vector<size_t> starts;
    if (samples <= window) {
        window = samples;
        starts.push_back(0);
    } else {
        for (size_t s = 0; s + window <= samples; s += hop) starts.push_back(s);
        if (starts.back() + window < samples) starts.push_back(samples - window);
    }
    std::vector<WindowPosition> out(starts.size());
    for (size_t i = 0; i < starts.size(); ++i) {
        out[i].start = starts[i];
        out[i].length = window;
    }
    // Each window speaks for the stretch nearest its centre; the ends reach the file's ends.
    auto centre = [&](size_t i) { return (double(starts[i]) + window / 2.0) / rate; };
    for (size_t i = 0; i < out.size(); ++i) {
        out[i].from = i == 0 ? 0.0 : (centre(i - 1) + centre(i)) / 2;
        out[i].to = i + 1 == out.size() ? samples / rate : (centre(i) + centre(i + 1)) / 2;
    }
    return out;
}

int label_of(const std::vector<float>& scores, float threshold, int previous, float* best_score) {
    *best_score = 0;
    if (scores.empty()) return kNoSpeech;
    size_t best = 0;
    for (size_t i = 1; i < scores.size(); ++i)
        if (scores[i] > scores[best]) best = i;
    if (previous >= 0 && size_t(previous) < scores.size() && scores[size_t(previous)] == scores[best])
        best = size_t(previous);
    *best_score = scores[best];
    return scores[best] >= threshold ? int(best) : kUnknownSpeaker;
}

std::vector<Segment> merge_positions(const std::vector<WindowPosition>& positions, const std::vector<int>& labels,
                                     const std::vector<float>& scores) {
    std::vector<Segment> out;
    size_t count = 0;
    for (size_t i = 0; i < positions.size(); ++i) {
        if (!out.empty() && out.back().label == labels[i]) {
            out.back().end = positions[i].to;
            out.back().score += scores[i];
            ++count;
            continue;
        }
        if (!out.empty()) out.back().score /= double(count);
        out.push_back({positions[i].from, positions[i].to, labels[i], scores[i]});
        count = 1;
    }
    if (!out.empty()) out.back().score /= double(count);
    return out;
}

}  // namespace kxtool
