// Work on one image split among the cores that would otherwise stand idle. Only for
// work whose parts cannot change the result: counts, exact sums, columns or rows that
// are computed independently and merged in a fixed order.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <thread>
#include <vector>

namespace kestrel {

/// Runs work(0) .. work(parts - 1), part 0 on the calling thread and every other on a
/// thread of its own, and returns when all have ended. A failure of any part is thrown
/// again, the lowest part's first, once all have ended.
inline void runInParts(unsigned parts, const std::function<void(unsigned part)>& work)
{
    if (parts <= 1) {
        work(0);
        return;
    }
    std::vector<std::exception_ptr> failures(parts);
    std::vector<std::thread> threads;
    for (unsigned p = 1; p < parts; ++p)
        threads.emplace_back([&work, &failures, p] {
            try {
                work(p);
            } catch (...) {
                failures[p] = std::current_exception();
            }
        });
    try {
        work(0);
    } catch (...) {
        failures[0] = std::current_exception();
    }
    for (auto& t : threads)
        t.join();
    for (const auto& f : failures)
        if (f)
            std::rethrow_exception(f);
}

/// The first index of part `part` when `count` items are split into `parts` parts of
/// whole multiples of `unit` items (the last part takes the rest).
inline std::size_t partStart(std::size_t count, unsigned parts, unsigned part, std::size_t unit = 1)
{
    if (part >= parts)
        return count;
    const std::size_t units = count / unit;
    return units * part / parts * unit;
}

} // namespace kestrel
