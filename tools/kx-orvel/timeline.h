// Who spoke when, decided over time: one pass of the library gives an embedding every
// hop and a voice probability every frame; a hop is scored by the window embeddings
// around it; the most likely sequence of labels follows from the hops' scores with a
// cost per change of speaker and a shortest turn; what no profile claims is clustered
// by average linkage into anonymous speakers; turn changes move to pauses.
// python/kx_orvel/segments.py runs the same steps in the same order.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "kx_orvel.h"

namespace kxtool {

// Labels of a segment besides a speaker index.
constexpr int kUnknownSpeaker = -1;  // speech that no profile claims
constexpr int kNoSpeech = -2;

struct TimelineOptions {
    float hop = 0.5f;          // seconds between embedded windows
    float window = 0;          // seconds around a hop whose window embeddings are summed for its scores
                               // (0: the model's window)
    float threshold = 0.5f;    // the verification threshold profiles are held to
    float min_turn = 1.5f;     // seconds: the shortest turn
    float switch_cost = 0.3f;  // score a change of speaker must gain
    float min_pause = 1.0f;    // seconds: shorter no speech between two stretches of one label is part of the turn
    int speakers = 0;          // anonymous speakers when known (0: found from the audio)
};

// Frames between windows for a hop in seconds.
int hop_frames(float hop);

struct Segment {
    double start = 0;
    double end = 0;
    int label = kNoSpeech;  // index into Timeline::names, kUnknownSpeaker or kNoSpeech
    bool has_score = false;
    double score = 0;  // mean score of its hops for its label
};

struct Timeline {
    std::vector<std::string> names;  // the profiles' names, then speaker_1, speaker_2, ...
    std::vector<Segment> segments;   // contiguous from 0 to the end of the audio
    size_t windows = 0;
    double window_seconds = 0;
    double hop_seconds = 0;
};

// The timeline of one recording (at least the model's window long).
Timeline make_timeline(kx_orvel_t* recognizer, const int16_t* pcm, size_t samples,
                       const std::vector<std::string>& names, const std::vector<const float*>& profiles,
                       float voice_threshold, const TimelineOptions& options);

std::string label_name(const Timeline& t, int label);

}  // namespace kxtool
