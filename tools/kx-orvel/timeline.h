// Who spoke when: window positions over a recording, and their labels merged into segments.
#pragma once

#include <cstddef>
#include <vector>

namespace kxtool {

// Labels of a window position besides a profile index.
constexpr int kUnknownSpeaker = -1;  // speech, but no profile reaches the threshold
constexpr int kNoSpeech = -2;

// One window scored on its own: samples [start, start + length), standing for the
// stretch [from, to) in seconds (halfway to the neighbouring windows' centres).
struct WindowPosition {
    size_t start = 0;
    size_t length = 0;
    double from = 0;
    double to = 0;
};

// Windows every `hop` samples; the last one is moved back to end with the audio, and
// audio shorter than a window is one window. Needs window > 0 and 0 < hop <= window.
std::vector<WindowPosition> window_positions(size_t samples, size_t window, size_t hop, double rate);

struct Segment {
    double start = 0;
    double end = 0;
    int label = kNoSpeech;  // profile index, kUnknownSpeaker or kNoSpeech
    double score = 0;       // mean best score of its windows (0 without speech)
};

// Joins neighbouring positions of one label; `labels` and `scores` run parallel to `positions`.
std::vector<Segment> merge_positions(const std::vector<WindowPosition>& positions, const std::vector<int>& labels,
                                     const std::vector<float>& scores);

// The label of one window from its scores (empty: no speech). Scores saturate at 1, so
// a tie goes to `previous`, the label of the window before, when it is among the best.
int label_of(const std::vector<float>& scores, float threshold, int previous, float* best_score);

}  // namespace kxtool
