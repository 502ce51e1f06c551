#include "app/batch.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "app/commands/open_input.h"

namespace TrackloomApp {

using namespace commands;
namespace {

std::string Folded(const std::string& name) {
    std::string folded = name;
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return folded;
}

std::string BaseName(const std::string& input) {
    const std::string stem = std::filesystem::path(input).stem().string();
    if (stem.empty() || stem == "." || stem == "..") return "input";
    return stem;
}

}  // namespace

std::vector<Trackloom::StemKind> StemsWritten(const SplitSettings& split) {
    if (!split.stems.empty()) return split.stems;
    return {Trackloom::kEngineStems.begin(), Trackloom::kEngineStems.end()};
}

std::vector<std::string> StemPaths(const std::string& dir, const SplitSettings& split) {
    std::vector<std::string> paths;
    for (const Trackloom::StemKind kind : StemsWritten(split)) {
        paths.push_back(dir + "/" + Trackloom::StemName(kind) + "." + split.format.extension());
    }
    return paths;
}

std::vector<StemOverInput> StemsOverInputs(const std::vector<std::string>& inputs,
                                           const std::vector<std::string>& stems) {
    std::vector<StemOverInput> found;
    for (const std::string& input : inputs) {
        std::error_code error;
        if (input == commands::kStandardInputName || !std::filesystem::exists(input, error))
            continue;
        for (const std::string& stem : stems) {
            // Same device and inode: the same path, a hard link, or a symbolic link's target.
            // A stem not written yet, or one that cannot be looked at, is no input.
            if (std::filesystem::equivalent(input, stem, error)) found.push_back({stem, input});
        }
    }
    return found;
}

std::vector<std::string> BatchOutputDirs(const std::vector<std::string>& inputs,
                                         const std::string& outRoot) {
    std::vector<std::string> dirs;
    std::set<std::string> taken;
    for (const std::string& input : inputs) {
        const std::string base = BaseName(input);
        std::string name = base;
        for (int n = 2; taken.count(Folded(name)) != 0; ++n) name = base + "-" + std::to_string(n);
        taken.insert(Folded(name));
        dirs.push_back(outRoot + "/" + name);
    }
    return dirs;
}

size_t RunJobs(size_t count, unsigned jobs, const std::function<JobResult(size_t)>& job,
               std::ostream& out, std::ostream& err) {
    std::vector<JobResult> results(count);
    std::vector<bool> done(count, false);
    std::mutex mutex;
    std::condition_variable finished;
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i = next++; i < count; i = next++) {
            JobResult result = job(i);
            std::lock_guard<std::mutex> lock(mutex);
            results[i] = std::move(result);
            done[i] = true;
            finished.notify_all();
        }
    };
    const size_t threads = std::min<size_t>(std::max(jobs, 1u), count);
    std::vector<std::thread> pool;
    if (threads > 1) {
        for (size_t t = 0; t < threads; ++t) pool.emplace_back(work);
    }

    // This thread works too when it is the only one; otherwise it writes the results in
    // order as they come in.
    size_t failed = 0;
    if (threads <= 1) work();
    for (size_t i = 0; i < count; ++i) {
        std::unique_lock<std::mutex> lock(mutex);
        finished.wait(lock, [&] { return done[i]; });
        const JobResult result = std::move(results[i]);
        lock.unlock();
        out << result.out;
        out.flush();
        err << result.err;
        err.flush();
        if (result.status != 0) ++failed;
    }
    for (auto& t : pool) t.join();
    return failed;
}

}  // namespace TrackloomApp
