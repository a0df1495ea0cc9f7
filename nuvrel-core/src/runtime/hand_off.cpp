#include "runtime/hand_off.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <charconv>
#include <memory>
#include <string_view>
#include <utility>

#include "runtime/thread_pool.h"

namespace nuvrel_core {

HandOff::HandOff(HandOffOptions options) : options_(std::move(options)) {
    if (!options_.cpu_source) options_.cpu_source = system_cpu_source();
}

void HandOff::refresh() noexcept {
    if (options_.spin.count() <= 0) return;  // nobody spins: nothing to decide
    const std::int64_t now = spin_clock_ns();
    if (now >= next_sample_.load(std::memory_order_relaxed)) sample(now);
}

void HandOff::sample(std::int64_t now) noexcept {
    std::unique_lock lock(sampling_, std::try_to_lock);
    if (!lock.owns_lock() || now < next_sample_.load(std::memory_order_relaxed)) return;
    next_sample_.store(now + std::chrono::nanoseconds(options_.sample_every).count(), std::memory_order_relaxed);
    std::optional<CpuSample> s;
    try {
        s = options_.cpu_source();
    } catch (...) {  // a source that throws is one that failed
    }
    const bool contended = s ? s->cpus < 2 || s->free_cpus < 2.0 : available_cpus() < 2;
    contended_.store(contended, std::memory_order_relaxed);
}

namespace {

// Cumulative readings, from which a sample is the difference of two.
struct CpuReading {
    std::int64_t wall_ns = 0;
    std::int64_t own_ns = 0;      // this process's CPU time
    std::int64_t idle_ticks = 0;  // idle + iowait of the CPUs in the mask
    unsigned cpus = 0;
};

// /proc/stat opens with one "cpuN user nice system idle iowait ..." line per
// CPU (after the "cpu" total); only those lines are read, and only those of
// CPUs in the affinity mask are counted.
std::optional<CpuReading> read_cpus(const char* stat) noexcept {
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (sched_getaffinity(0, sizeof mask, &mask) != 0) return std::nullopt;
    CpuReading r;
    r.cpus = static_cast<unsigned>(CPU_COUNT(&mask));
    timespec own{};
    if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &own) != 0) return std::nullopt;
    r.own_ns = own.tv_sec * 1'000'000'000LL + own.tv_nsec;
    r.wall_ns = spin_clock_ns();

    const int fd = ::open(stat, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    // Enough for the CPU lines of 1024 CPUs; a line cut at the end is not
    // counted, and the sample says so by its CPU count.
    constexpr std::size_t kMax = 128 * 1024;
    std::unique_ptr<char[]> buf(new (std::nothrow) char[kMax]);
    std::size_t len = 0;
    if (buf) {
        while (len < kMax) {
            const ssize_t n = ::read(fd, buf.get() + len, kMax - len);
            if (n <= 0) break;
            len += static_cast<std::size_t>(n);
            if (std::string_view(buf.get(), len).find("\nintr") != std::string_view::npos) break;
        }
    }
    ::close(fd);
    if (!buf) return std::nullopt;

    unsigned seen = 0;
    std::string_view text(buf.get(), len);
    while (!text.empty()) {
        const std::size_t eol = text.find('\n');
        if (eol == std::string_view::npos) break;  // a cut line
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol + 1);
        if (!line.starts_with("cpu")) break;
        if (line.size() < 4 || line[3] < '0' || line[3] > '9') continue;  // the total
        // Numbers are parsed within the line only.
        const char* p = line.data() + 3;
        const char* const end = line.data() + line.size();
        unsigned long id = 0;
        auto [after_id, id_error] = std::from_chars(p, end, id);
        if (id_error != std::errc() || id >= CPU_SETSIZE || !CPU_ISSET(id, &mask)) continue;
        p = after_id;
        long long fields[5] = {};
        for (auto& f : fields) {
            while (p < end && *p == ' ') ++p;
            auto [next, error] = std::from_chars(p, end, f);
            if (error != std::errc()) return std::nullopt;
            p = next;
        }
        r.idle_ticks += fields[3] + fields[4];
        ++seen;
    }
    if (seen == 0) return std::nullopt;
    r.cpus = seen;
    return r;
}

}  // namespace

CpuSource system_cpu_source(std::string stat) {
    auto last = std::make_shared<std::optional<CpuReading>>();
    const long ticks_per_second = ::sysconf(_SC_CLK_TCK);
    return [last, ticks_per_second, stat = std::move(stat)]() -> std::optional<CpuSample> {
        std::optional<CpuReading> now = read_cpus(stat.c_str());
        if (!now || ticks_per_second <= 0) return std::nullopt;
        std::optional<CpuReading> before = std::exchange(*last, now);
        if (!before || before->cpus != now->cpus || now->wall_ns <= before->wall_ns) return std::nullopt;
        const double wall = static_cast<double>(now->wall_ns - before->wall_ns);
        const double idle = static_cast<double>(now->idle_ticks - before->idle_ticks) * 1e9 /
                            static_cast<double>(ticks_per_second);
        const double own = static_cast<double>(now->own_ns - before->own_ns);
        return CpuSample{now->cpus, (idle + own) / wall};
    };
}

}  // namespace nuvrel_core
