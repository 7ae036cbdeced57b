// Many files at once: worker threads, a resumable JSON-lines output and a progress bar.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kxtool {

// Runs the items 0..count-1 on `jobs` threads. Each thread first calls make_worker()
// (so a worker's state, such as its own recognizer, lives on its thread) and then the
// worker on the items it takes. `done` runs on the calling thread, in completion order.
// An exception from make_worker, a worker or `done` stops the run and is rethrown here.
template <typename Result>
void run_parallel(size_t count, int jobs, const std::function<std::function<Result(size_t)>()>& make_worker,
                  const std::function<void(size_t, Result&)>& done) {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::pair<size_t, Result>> finished;
    std::exception_ptr failure;
    size_t next = 0, running = 0;
    bool stop = false;

    auto body = [&] {
        try {
            std::function<Result(size_t)> worker = make_worker();
            for (;;) {
                size_t item;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (stop || next >= count) break;
                    item = next++;
                }
                Result r = worker(item);
                std::lock_guard<std::mutex> lock(mutex);
                finished.emplace_back(item, std::move(r));
                ready.notify_one();
            }
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex);
            if (!failure) failure = std::current_exception();
            stop = true;
        }
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        ready.notify_one();
    };

    std::vector<std::thread> threads;
    const size_t n = size_t(jobs) < count ? size_t(jobs) : count;
    running = n;
    for (size_t i = 0; i < n; ++i) threads.emplace_back(body);
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            ready.wait(lock, [&] { return !finished.empty() || running == 0; });
            if (finished.empty()) break;
            std::pair<size_t, Result> item = std::move(finished.front());
            finished.pop_front();
            if (stop) continue;
            lock.unlock();
            try {
                done(item.first, item.second);
            } catch (...) {
                lock.lock();
                if (!failure) failure = std::current_exception();
                stop = true;  // the workers finish their files and end; joined below
                continue;
            }
            lock.lock();
        }
    }
    for (std::thread& t : threads) t.join();
    if (failure) std::rethrow_exception(failure);
}

// The files a JSON-lines output already holds a result for. A last line cut short
// (the run was stopped while writing it) is removed from the file so appending
// starts on a fresh line, and so are the lines of files that failed, unless
// keep_failed: those files are to be tried again (their failure may have passed),
// and *retried counts them. A complete line that is not valid JSON is removed too
// and counted in *unreadable. Files come back as normal_path gives them. A missing
// file holds nothing.
std::set<std::string> files_in_output(const std::string& path, bool keep_failed, size_t* retried,
                                      size_t* unreadable);

// The path without "." components and repeated slashes ("./a//x.mp3" is "a/x.mp3"),
// so that two spellings of one file compare equal; ".." stays (it may cross a link).
std::string normal_path(const std::string& path);

// Whether text is one complete JSON value and nothing else.
bool valid_json(const std::string& text);

// Paths in their first order with repeats (by normal_path) removed; *repeated gets each repeated path
// and how often it was given.
std::vector<std::string> without_repeats(const std::vector<std::string>& paths,
                                         std::vector<std::pair<std::string, size_t>>* repeated);

// Paths of a list file, one per line; blank lines are skipped.
std::vector<std::string> read_list_file(const std::string& path);

// "[####......] 120/1000 files, 3.2 h of audio, 0:45 left" on stderr, redrawn at most
// a few times a second, and only when stderr is a terminal.
class BatchProgress {
public:
    explicit BatchProgress(size_t total);
    void add(double audio_seconds);
    // Clears the bar so that a message can be printed; the next add() draws it again.
    void clear();
    void finish();
    bool shown() const { return tty_; }

private:
    void draw();
    bool tty_;
    size_t total_, done_ = 0;
    double audio_seconds_ = 0;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_, last_draw_;
};

}  // namespace kxtool
