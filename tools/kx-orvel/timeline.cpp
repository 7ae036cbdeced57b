#include "timeline.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "library.h"

namespace kxtool {
namespace {

constexpr int kRate = 16000;
constexpr int kFrame = 512;
// Chosen on validation meetings (training/bench_meetings.py --split valid).
constexpr double kUnknownMargin = 0.15;     // a profile that beats all others counts this far below the threshold
constexpr double kSpeechWeight = 2.0;       // weight of a hop's share of voiced frames
constexpr double kVoicedShare = 0.05;       // share at which a hop is as likely speech as not
constexpr double kClusterScore = 0.5;       // model score whose cosine joins two groups of anonymous stretches
constexpr double kClusterChunk = 2.0;       // seconds: stretches are clustered in pieces of at most this
constexpr int kUnitPauseFrames = 6;         // unvoiced frames between two hops that end a stretch to cluster
constexpr int kAnonymousRounds = 1;         // times the anonymous speakers are made again from the hops they won
constexpr double kMinSpeaker = 3.0;         // seconds: a smaller anonymous speaker stays "unknown"
constexpr double kPauseReach = 0.6;         // seconds: how far a turn change moves to a pause
constexpr int kMinPauseFrames = 3;          // unvoiced frames that make a pause
constexpr int kMinSilenceFrames = 8;        // a shorter pause at a turn change is split between the turns
constexpr int kAdaptRounds = 1;             // times the profiles lean towards the hops they won
constexpr double kNeg = -1e300;

struct WindowsDeleter {
    void operator()(kx_orvel_windows_t* w) const { kx_orvel_windows_delete(w); }
};

struct Cells {
    int n = 0;
    int frames = 0;
    std::vector<int> lo, hi;  // cell i stands for frames [lo, hi)
    std::vector<double> voiced;
};

using Scores = std::vector<std::vector<double>>;  // per window; empty where not embedded

// Per window: the embedded windows within `span` samples around it, as [first, end).
std::vector<std::pair<int, int>> context_of(const kx_orvel_windows_t& w, int span) {
    const long reach = long(span) - w.window_samples;  // twice the farthest start that fits
    std::vector<std::pair<int, int>> out;
    for (int i = 0, lo = 0, hi = 0; i < w.num_windows; ++i) {
        while (2L * (w.start_samples[i] - w.start_samples[lo]) > reach) ++lo;
        while (hi < w.num_windows && 2L * (w.start_samples[hi] - w.start_samples[i]) <= reach) ++hi;
        out.emplace_back(lo, hi);
    }
    return out;
}

bool embedded(const kx_orvel_windows_t& w, int i) {
    const float* e = w.embeddings + size_t(i) * size_t(w.embedding_size);
    return std::any_of(e, e + w.embedding_size, [](float x) { return x != 0.0f; });
}

// Per window: the scores of the embedded windows around it; empty where none is.
Scores score_windows(kx_orvel_t* recognizer, const kx_orvel_windows_t& w, const std::vector<const float*>& profiles,
                     const std::vector<std::pair<int, int>>& context) {
    Scores out(size_t(w.num_windows));
    if (profiles.empty()) return out;
    std::vector<float> s(profiles.size()), sum(size_t(w.embedding_size));
    for (int i = 0; i < w.num_windows; ++i) {
        std::fill(sum.begin(), sum.end(), 0.0f);
        int count = 0;
        for (int j = context[size_t(i)].first; j < context[size_t(i)].second; ++j) {
            if (!embedded(w, j)) continue;
            const float* e = w.embeddings + size_t(j) * size_t(w.embedding_size);
            for (size_t k = 0; k < sum.size(); ++k) sum[k] = sum[k] + e[k];
            ++count;
        }
        if (count == 0) continue;
        check(kx_orvel_score_embeddings(recognizer, sum.data(), count, profiles.data(), int32_t(profiles.size()),
                                        s.data()),
              "kx_orvel_score_embeddings");
        out[size_t(i)].assign(s.begin(), s.end());
    }
    return out;
}

struct Back {
    char kind = 0;  // 's' speaker, 'n' no speech, 0 start
    int a = 0, b = 0;
};

// Best state per cell: 0..S-1 speakers, -1 no speech. A change of speaker costs
// switch_cost (also across a pause); a speaker holds at least min_cells cells.
std::vector<int> viterbi(const std::vector<std::vector<double>>& emit, const std::vector<double>& none_emit,
                         const std::vector<double>& speech, double switch_cost, int min_cells) {
    const int n = int(emit.size());
    if (n == 0) return {};
    const int S = int(emit[0].size());
    const int m = std::max(1, min_cells);
    std::vector<std::vector<double>> spk(size_t(S), std::vector<double>(size_t(m), kNeg));
    std::vector<double> none(size_t(S + 1), kNeg);
    std::vector<std::vector<std::vector<Back>>> back_spk(static_cast<size_t>(n));
    std::vector<std::vector<Back>> back_none(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const double w = speech[size_t(i)];
        std::vector<std::vector<double>> ns(size_t(S), std::vector<double>(size_t(m), kNeg));
        std::vector<double> nn(size_t(S + 1), kNeg);
        auto& bs = back_spk[size_t(i)];
        auto& bn = back_none[size_t(i)];
        bs.assign(size_t(S), std::vector<Back>(size_t(m)));
        bn.assign(size_t(S + 1), Back{});
        if (i == 0) {
            for (int s = 0; s < S; ++s) ns[size_t(s)][0] = emit[0][size_t(s)] + w;
            nn[size_t(S)] = none_emit[0] - w;
        } else {
            for (int s = 0; s < S; ++s) {
                const double e = emit[size_t(i)][size_t(s)] + w;
                double best = kNeg;
                Back arg;
                for (int t = 0; t < S; ++t)
                    if (t != s && spk[size_t(t)][size_t(m - 1)] - switch_cost > best) {
                        best = spk[size_t(t)][size_t(m - 1)] - switch_cost;
                        arg = {'s', t, m - 1};
                    }
                for (int l = 0; l < S + 1; ++l) {
                    const double v = none[size_t(l)] - (l != s && l != S ? switch_cost : 0.0);
                    if (v > best) {
                        best = v;
                        arg = {'n', l, 0};
                    }
                }
                ns[size_t(s)][0] = best + e;
                bs[size_t(s)][0] = arg;
                for (int d = 1; d < m; ++d) {
                    double v = spk[size_t(s)][size_t(d - 1)];
                    Back a{'s', s, d - 1};
                    if (d == m - 1 && spk[size_t(s)][size_t(d)] > v) {
                        v = spk[size_t(s)][size_t(d)];
                        a = {'s', s, d};
                    }
                    ns[size_t(s)][size_t(d)] = v + e;
                    bs[size_t(s)][size_t(d)] = a;
                }
                if (m == 1 && spk[size_t(s)][0] > ns[size_t(s)][0] - e) {
                    ns[size_t(s)][0] = spk[size_t(s)][0] + e;
                    bs[size_t(s)][0] = {'s', s, 0};
                }
            }
            const double e = none_emit[size_t(i)] - w;
            for (int l = 0; l < S + 1; ++l) {
                double v = none[size_t(l)];
                Back a{'n', l, 0};
                if (l < S && spk[size_t(l)][size_t(m - 1)] > v) {
                    v = spk[size_t(l)][size_t(m - 1)];
                    a = {'s', l, m - 1};
                }
                nn[size_t(l)] = v + e;
                bn[size_t(l)] = a;
            }
        }
        spk.swap(ns);
        none.swap(nn);
    }
    double best = kNeg;
    Back state;
    for (int s = 0; s < S; ++s)
        for (int d = 0; d < m; ++d)
            if (spk[size_t(s)][size_t(d)] > best) {
                best = spk[size_t(s)][size_t(d)];
                state = {'s', s, d};
            }
    for (int l = 0; l < S + 1; ++l)
        if (none[size_t(l)] > best) {
            best = none[size_t(l)];
            state = {'n', l, 0};
        }
    std::vector<int> out(static_cast<size_t>(n));
    for (int i = n - 1; i >= 0; --i) {
        if (state.kind == 's') {
            out[size_t(i)] = state.a;
            state = back_spk[size_t(i)][size_t(state.a)][size_t(state.b)];
        } else {
            out[size_t(i)] = -1;
            state = back_none[size_t(i)][size_t(state.a)];
        }
    }
    return out;
}

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    double s = 0;
    for (size_t j = 0; j < a.size(); ++j) s += a[j] * b[j];
    return s;
}

// Average-linkage clustering of stretch embedding sums by cosine (each stretch weighing
// `weights`): every merge of the dendrogram from a nearest-neighbour chain, O(n^2); kept
// are those at or above the threshold (or the best ones that leave `speakers` clusters).
// -> cluster of every stretch, numbered in order of first stretch.
std::vector<int> cluster(const std::vector<std::vector<double>>& vec, std::vector<double> weight, double threshold,
                         int speakers) {
    const int n = int(vec.size());
    std::vector<double> norm(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) norm[size_t(i)] = std::sqrt(dot(vec[size_t(i)], vec[size_t(i)]));
    std::vector<double> sim(size_t(n) * size_t(n), -1.0);
    auto at = [&](int a, int b) -> double& { return sim[size_t(a) * size_t(n) + size_t(b)]; };
    for (int a = 0; a < n; ++a)
        for (int b = 0; b < n; ++b)
            if (a != b && norm[size_t(a)] > 0 && norm[size_t(b)] > 0)
                at(a, b) = dot(vec[size_t(a)], vec[size_t(b)]) / (norm[size_t(a)] * norm[size_t(b)]);
    std::vector<char> alive(static_cast<size_t>(n), 1);
    struct Merge {
        double height;
        int keep, gone;
    };
    std::vector<Merge> merges;
    std::vector<int> chain;
    for (int left = n; left > 1;) {
        if (chain.empty()) chain.push_back(int(std::find(alive.begin(), alive.end(), 1) - alive.begin()));
        const int a = chain.back();
        int b = -1;
        for (int c = 0; c < n; ++c)
            if (alive[size_t(c)] && c != a && (b < 0 || at(a, c) > at(a, b))) b = c;
        const int prev = chain.size() > 1 ? chain[chain.size() - 2] : -1;
        if (prev >= 0 && at(a, prev) >= at(a, b)) b = prev;
        if (b != prev) {
            chain.push_back(b);
            continue;
        }
        chain.resize(chain.size() - 2);
        const double height = at(a, b);
        const int keep = std::min(a, b), gone = std::max(a, b);
        const double wa = weight[size_t(a)], wb = weight[size_t(b)];
        for (int c = 0; c < n; ++c) {
            const double merged = (wa * at(a, c) + wb * at(b, c)) / (wa + wb);
            at(keep, c) = merged;
            at(c, keep) = merged;
        }
        at(keep, keep) = -1.0;
        weight[size_t(keep)] = weight[size_t(keep)] + weight[size_t(gone)];
        alive[size_t(gone)] = 0;
        --left;
        merges.push_back({height, keep, gone});
    }
    // Average linkage never merges closer after a farther merge: the kept merges are a cut.
    std::vector<Merge> kept;
    if (speakers == 0) {
        for (const Merge& m : merges)
            if (m.height >= threshold) kept.push_back(m);
    } else {
        kept = merges;
        std::stable_sort(kept.begin(), kept.end(), [](const Merge& x, const Merge& y) { return x.height > y.height; });
        kept.resize(size_t(std::max(0, std::min(int(kept.size()), n - speakers))));
    }
    std::vector<int> parent(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) parent[size_t(i)] = i;
    auto root = [&](int i) {
        while (parent[size_t(i)] != i) i = parent[size_t(i)];
        return i;
    };
    for (const Merge& m : kept) parent[size_t(root(m.gone))] = root(m.keep);
    std::vector<int> label(static_cast<size_t>(n)), first(static_cast<size_t>(n), -1);
    int count = 0;
    for (int i = 0; i < n; ++i) {
        int& f = first[size_t(root(i))];
        if (f < 0) f = count++;
        label[size_t(i)] = f;
    }
    return label;
}

// The least cosine whose score reaches `score`: the clustering threshold in the model's own
// calibration, so that it holds across models.
double cosine_of_score(kx_orvel_t* recognizer, int size, double score) {
    std::vector<float> e(size_t(size), 0.0f), p(size_t(size), 0.0f);
    e[0] = 1.0f;
    const float* profile = p.data();
    double lo = -1.0, hi = 1.0;
    for (int i = 0; i < 40; ++i) {
        const double mid = (lo + hi) / 2;
        p[0] = float(mid);
        p[1] = float(std::sqrt(1.0 - mid * mid));
        float s = 0;
        check(kx_orvel_score_embeddings(recognizer, e.data(), 1, &profile, 1, &s), "kx_orvel_score_embeddings");
        (double(s) >= score ? hi : lo) = mid;
    }
    return hi;
}

// Mean embedding of cells (float64 sums in cell order), as a profile.
std::vector<double> mean_of(const kx_orvel_windows_t& w, const std::vector<int>& cells) {
    std::vector<double> acc(size_t(w.embedding_size), 0.0);
    for (int i : cells) {
        const float* e = w.embeddings + size_t(i) * size_t(w.embedding_size);
        for (size_t j = 0; j < acc.size(); ++j) acc[j] = acc[j] + double(e[j]);
    }
    for (double& a : acc) a = a / double(cells.size());
    return acc;
}

struct Run {
    int label, first, end;  // frames [first, end)
};

std::vector<Run> runs_of(const std::vector<int>& lab) {
    std::vector<Run> runs;
    for (int f = 0; f < int(lab.size()); ++f) {
        if (!runs.empty() && runs.back().label == lab[size_t(f)])
            runs.back().end = f + 1;
        else
            runs.push_back({lab[size_t(f)], f, f + 1});
    }
    return runs;
}

std::vector<int> decode(const Cells& cells, const Scores& scores, int K, double threshold, double min_turn,
                        double switch_cost, double hop_seconds) {
    const double unknown = threshold - kUnknownMargin;
    std::vector<std::vector<double>> emit;
    std::vector<double> none_emit, speech;
    for (int i = 0; i < cells.n; ++i) {
        std::vector<double> row = scores[size_t(i)].empty() ? std::vector<double>(size_t(K), unknown) : scores[size_t(i)];
        row.push_back(unknown);
        none_emit.push_back(*std::max_element(row.begin(), row.end()));
        emit.push_back(row);
        speech.push_back(kSpeechWeight * (cells.voiced[size_t(i)] - kVoicedShare));
    }
    const int min_cells = int(std::floor(min_turn / hop_seconds + 0.5));
    return viterbi(emit, none_emit, speech, switch_cost, min_cells);
}

}  // namespace

int hop_frames(float hop) {
    const float x = hop * float(kRate);
    return std::max(1, int(std::floor(double(x) / kFrame + 0.5)));
}

std::string label_name(const Timeline& t, int label) {
    if (label == kNoSpeech) return "no speech";
    if (label == kUnknownSpeaker) return "unknown";
    return t.names[size_t(label)];
}

Timeline make_timeline(kx_orvel_t* recognizer, const int16_t* pcm, size_t samples,
                       const std::vector<std::string>& names, const std::vector<const float*>& profiles_in,
                       float voice_threshold, const TimelineOptions& o) {
    const int step = hop_frames(o.hop);
    kx_orvel_windows_t* raw = nullptr;
    check(kx_orvel_embed_windows(recognizer, pcm, int32_t(samples), step, &raw), "kx_orvel_embed_windows");
    const std::unique_ptr<kx_orvel_windows_t, WindowsDeleter> owner(raw);
    const kx_orvel_windows_t& w = *raw;
    Timeline t;
    t.names = names;
    t.windows = size_t(w.num_windows);
    t.window_seconds = double(w.window_samples) / kRate;
    const double hop_seconds = double(step) * kFrame / kRate;
    t.hop_seconds = hop_seconds;

    Cells cells;
    cells.n = w.num_windows;
    cells.frames = w.num_frames;
    const int W = w.window_samples / kFrame;
    std::vector<int> centres;  // in half frames
    for (int i = 0; i < cells.n; ++i) centres.push_back(w.start_samples[i] / kFrame * 2 + W);
    for (int i = 0; i < cells.n; ++i) {
        const int lo = i == 0 ? 0 : (centres[size_t(i - 1)] + centres[size_t(i)]) / 4;
        const int hi = i + 1 == cells.n ? cells.frames : (centres[size_t(i)] + centres[size_t(i + 1)]) / 4;
        cells.lo.push_back(lo);
        cells.hi.push_back(hi);
        int count = 0;
        for (int f = lo; f < hi; ++f) count += w.frame_voice_probabilities[f] >= voice_threshold;
        cells.voiced.push_back(double(count) / double(std::max(1, hi - lo)));
    }
    const double threshold = o.threshold, min_turn = o.min_turn, switch_cost = o.switch_cost;
    int K = int(profiles_in.size());
    std::vector<std::vector<float>> owned;  // adapted and anonymous profiles
    std::vector<const float*> profiles = profiles_in;
    const int span = o.window > 0 ? int(std::lround(o.window * kRate)) : w.window_samples;
    const std::vector<std::pair<int, int>> context = context_of(w, span);
    Scores scores = score_windows(recognizer, w, profiles, context);
    std::vector<int> states = decode(cells, scores, K, threshold, min_turn, switch_cost, hop_seconds);

    // Each profile leans towards the hops it won: the talker's voice in this recording.
    for (int round = 0; round < kAdaptRounds && K > 0; ++round) {
        std::vector<std::vector<float>> adapted;
        for (int k = 0; k < K; ++k) {
            std::vector<int> member;
            for (int i = 0; i < cells.n; ++i)
                if (states[size_t(i)] == k && embedded(w, i)) member.push_back(i);
            std::vector<float> p(size_t(w.embedding_size));
            if (member.empty()) {
                for (size_t j = 0; j < p.size(); ++j) p[j] = profiles[size_t(k)][j];
            } else {
                const std::vector<double> mine = mean_of(w, member);
                for (size_t j = 0; j < p.size(); ++j) p[j] = float((double(profiles[size_t(k)][j]) + mine[j]) / 2);
            }
            adapted.push_back(p);
        }
        owned = adapted;
        profiles.clear();
        for (const auto& p : owned) profiles.push_back(p.data());
        scores = score_windows(recognizer, w, profiles, context);
        states = decode(cells, scores, K, threshold, min_turn, switch_cost, hop_seconds);
    }

    const int frames = cells.frames;
    const float* voice = w.frame_voice_probabilities;
    std::vector<std::pair<int, int>> pauses;
    for (int f = 0, start = -1; f <= frames; ++f) {
        const float p = f < frames ? voice[f] : 1.0f;
        if (p < voice_threshold) {
            if (start < 0) start = f;
        } else {
            if (start >= 0 && f - start >= kMinPauseFrames) pauses.emplace_back(start, f);
            start = -1;
        }
    }

    // Speech no profile claims, in stretches between pauses: clustered, the clusters
    // decided again as speakers, then made again from the hops they won.
    const int chunk_cells = std::max(1, int(std::floor(kClusterChunk / hop_seconds + 0.5)));
    std::vector<char> gap(size_t(cells.n), 0);  // a pause separates the cell from the one before
    {
        int c = 1;
        for (const auto& [p0, p1] : pauses) {
            if (p1 - p0 < kUnitPauseFrames) continue;
            while (c < cells.n && cells.lo[size_t(c)] + cells.hi[size_t(c)] <= p0 + p1) ++c;
            if (c < cells.n && cells.lo[size_t(c - 1)] + cells.hi[size_t(c - 1)] <= p0 + p1) gap[size_t(c)] = 1;
        }
    }
    std::vector<std::vector<int>> chunks;
    for (int i = 0; i < cells.n; ++i) {
        if (states[size_t(i)] != K || !embedded(w, i)) continue;
        if (!chunks.empty() && chunks.back().back() == i - 1 && int(chunks.back().size()) < chunk_cells &&
            !gap[size_t(i)])
            chunks.back().push_back(i);
        else
            chunks.push_back({i});
    }
    if (!chunks.empty()) {
        std::vector<std::vector<double>> sums;
        std::vector<double> weights;
        for (const auto& c : chunks) {
            weights.push_back(double(c.size()));
            std::vector<double> acc(size_t(w.embedding_size), 0.0);
            for (int i : c) {
                const float* e = w.embeddings + size_t(i) * size_t(w.embedding_size);
                for (size_t j = 0; j < acc.size(); ++j) acc[j] = acc[j] + double(e[j]);
            }
            sums.push_back(acc);
        }
        const double cut = cosine_of_score(recognizer, w.embedding_size, kClusterScore);
        const std::vector<int> which = cluster(sums, weights, cut, o.speakers);
        const int count = *std::max_element(which.begin(), which.end()) + 1;
        const double min_cells = kMinSpeaker / hop_seconds;
        std::vector<std::vector<float>> anonymous;
        for (int k = 0; k < count; ++k) {
            std::vector<int> member;
            for (size_t c = 0; c < chunks.size(); ++c)
                if (which[c] == k) member.insert(member.end(), chunks[c].begin(), chunks[c].end());
            if (o.speakers == 0 && double(member.size()) < min_cells) continue;
            const std::vector<double> mean = mean_of(w, member);
            anonymous.emplace_back(mean.begin(), mean.end());
        }
        if (!anonymous.empty()) {
            std::vector<std::vector<float>> all;
            for (const float* p : profiles) all.emplace_back(p, p + w.embedding_size);
            for (size_t k = 0; k < anonymous.size(); ++k) {
                all.push_back(anonymous[k]);
                t.names.push_back("speaker_" + std::to_string(k + 1));
            }
            const int known = K;
            owned = all;
            profiles.clear();
            for (const auto& p : owned) profiles.push_back(p.data());
            K = int(profiles.size());
            scores = score_windows(recognizer, w, profiles, context);
            states = decode(cells, scores, K, threshold, min_turn, switch_cost, hop_seconds);
            for (int round = 0; round < kAnonymousRounds; ++round) {
                for (int k = known; k < K; ++k) {
                    std::vector<int> member;
                    for (int i = 0; i < cells.n; ++i)
                        if (states[size_t(i)] == k && embedded(w, i)) member.push_back(i);
                    if (member.empty()) continue;
                    const std::vector<double> mean = mean_of(w, member);
                    owned[size_t(k)].assign(mean.begin(), mean.end());
                }
                scores = score_windows(recognizer, w, profiles, context);
                states = decode(cells, scores, K, threshold, min_turn, switch_cost, hop_seconds);
            }
        }
    }

    // Frame labels from the cells; turn changes move to the nearest pause within reach
    // (the pause becomes no speech).
    std::vector<int> lab(size_t(frames), -1);
    for (int i = 0; i < cells.n; ++i)
        for (int f = cells.lo[size_t(i)]; f < cells.hi[size_t(i)]; ++f) lab[size_t(f)] = states[size_t(i)];
    const int reach = int(std::floor(kPauseReach * kRate / kFrame + 0.5));
    const std::vector<Run> runs = runs_of(lab);
    for (size_t r = 0; r + 1 < runs.size(); ++r) {
        const Run a = runs[r];
        size_t next = r + 1;
        if (runs[next].label == -1 && next + 1 < runs.size()) ++next;
        const Run b = runs[next];
        if (a.label == -1 || b.label == -1 || a.label == b.label) continue;
        const long change2 = next == r + 2 ? long(a.end) + runs[next - 1].end : 2L * a.end;
        long best_d = -1;
        int p0 = 0, p1 = 0;
        for (const auto& [q0, q1] : pauses) {
            if (q0 < a.first || q1 > b.end) continue;
            const long d = std::labs(long(q0) + q1 - change2);
            if (d <= 2L * reach && (best_d < 0 || d < best_d)) {
                best_d = d;
                p0 = q0;
                p1 = q1;
            }
        }
        if (best_d < 0) continue;
        if (p1 - p0 < kMinSilenceFrames) p0 = p1 = (p0 + p1) / 2;
        for (int f = a.first; f < b.end; ++f) lab[size_t(f)] = f < p0 ? a.label : (f < p1 ? -1 : b.label);
    }
    // Edges of no speech follow the detector: voiced frames at a pause's edge go to the
    // speaker beside it.
    for (int f = 1; f < frames; ++f)
        if (lab[size_t(f - 1)] == -1 && lab[size_t(f)] >= 0)
            for (int g = f - 1; g >= 0 && lab[size_t(g)] == -1 && voice[g] >= voice_threshold && f - g <= reach; --g)
                lab[size_t(g)] = lab[size_t(f)];
    for (int f = frames - 2; f >= 0; --f)
        if (lab[size_t(f + 1)] == -1 && lab[size_t(f)] >= 0)
            for (int g = f + 1; g < frames && lab[size_t(g)] == -1 && voice[g] >= voice_threshold && g - f <= reach; ++g)
                lab[size_t(g)] = lab[size_t(f)];

    // A talker's own pause is part of the turn: shorter no speech between two stretches of
    // one label goes to that label.
    const int bridge = int(std::floor(double(o.min_pause) * kRate / kFrame + 0.5));
    for (int f = 0; f < frames;) {
        int g = f;
        while (g < frames && lab[size_t(g)] == -1) ++g;
        if (g > f && f > 0 && g < frames && lab[size_t(f - 1)] == lab[size_t(g)] && g - f < bridge)
            std::fill(lab.begin() + f, lab.begin() + g, lab[size_t(g)]);
        f = g + 1;
    }

    const std::vector<Run> out = runs_of(lab);
    for (size_t i = 0; i < out.size(); ++i) {
        Segment s;
        s.start = double(out[i].first) * kFrame / kRate;
        s.end = i + 1 == out.size() ? double(samples) / kRate : double(out[i].end) * kFrame / kRate;
        const int state = out[i].label;
        if (state == -1) {
            s.label = kNoSpeech;
            t.segments.push_back(s);
            continue;
        }
        double total = 0;
        int count = 0;
        for (int c = 0; c < cells.n; ++c) {
            const double centre = (cells.lo[size_t(c)] + cells.hi[size_t(c)]) / 2.0;
            const auto& sc = scores[size_t(c)];
            if (out[i].first <= centre && centre < out[i].end && !sc.empty()) {
                total += state < K ? sc[size_t(state)] : *std::max_element(sc.begin(), sc.end());
                ++count;
            }
        }
        s.label = state < K ? state : kUnknownSpeaker;
        s.has_score = count > 0;
        s.score = count ? total / count : 0;
        t.segments.push_back(s);
    }
    return t;
}

}  // namespace kxtool
