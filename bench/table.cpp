// SPDX-License-Identifier: MIT
// The benchmark's figures beside their targets, for the terminal and, as a
// Markdown table, for the README.
#include <json/json.h>

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

namespace {

std::string format(const char *pattern, ...)
{
    char text[160];
    va_list args;
    va_start(args, pattern);
    vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

class Table {
public:
    explicit Table(const std::string &markdown_path) : markdown_(markdown_path)
    {
        char day[16];
        time_t now = time(nullptr);
        strftime(day, sizeof day, "%Y-%m-%d", localtime(&now));
        markdown_ << "Figures of " << day << ", on a machine with "
                  << sysconf(_SC_NPROCESSORS_ONLN) << " cores:\n\n"
                  << "| Figure | Value | Target | |\n|---|---|---|---|\n";
    }

    // A figure with a target; met is printed beside it.
    void row(const std::string &figure, const std::string &value, const std::string &target,
             bool met)
    {
        write(figure, value, target, met ? "met" : "MISSED");
    }
    // A figure reported for what it tells, without a target.
    void row(const std::string &figure, const std::string &value)
    {
        write(figure, value, "", "");
    }

private:
    void write(const std::string &figure, const std::string &value, const std::string &target,
               const char *verdict)
    {
        printf("%-62s %-30s %-30s %s\n", figure.c_str(), value.c_str(), target.c_str(), verdict);
        markdown_ << "| " << figure << " | " << value << " | " << target << " | " << verdict
                  << " |\n";
    }
    std::ofstream markdown_;
};

void discovery_rows(Table &table, const Json::Value &passes)
{
    const Json::Value &main = passes["main"]["discovery"];
    for (const char *n : {"1", "50", "250", "1000"}) {
        const Json::Value &d = main[n];
        int cameras = std::stoi(n);
        table.row(format("N = %s: cameras reported (worst of 5)", n),
                  format("%d of %d", d["fewest_reported"].asInt(), cameras), "all",
                  d["fewest_reported"].asInt() == cameras);
        double ratio = d["time_to_last_line_ms"].asDouble() / d["floor_ms"].asDouble();
        table.row(format("N = %s: start to last line", n),
                  format("%.1f ms", d["time_to_last_line_ms"].asDouble()),
                  format("<= 1.25 x floor of %.1f ms", d["floor_ms"].asDouble()), ratio <= 1.25);
    }
    const Json::Value &bursts = passes["bursts"];
    for (const char *n : {"250", "1000"}) {
        int cameras = std::stoi(n), complete = 0;
        for (const Json::Value &reported : bursts[n]["reported"])
            complete += reported.asInt() == cameras;
        table.row(format("N = %s, user %d, rmem_max %d: reported (worst of 5)", n,
                         bursts["user_outside"].asInt(), bursts["rmem_max"].asInt()),
                  format("%d of %d; all in %d of %u runs", bursts[n]["fewest_reported"].asInt(),
                         cameras, complete, bursts[n]["reported"].size()),
                  "all", bursts[n]["fewest_reported"].asInt() == cameras);
    }
    const Json::Value &big = main["1000"];
    table.row("N = 1000: tool's peak resident memory",
              format("%.2f MiB", big["peak_resident_mib"].asDouble()), "< 8 MiB",
              big["peak_resident_mib"].asDouble() < 8);
    table.row("N = 1000: tool's CPU time", format("%.0f ms", big["cpu_ms"].asDouble()));
}

void segment_rows(Table &table, const Json::Value &segments, const Json::Value &routed)
{
    double on_default = segments["near_ms"].asDouble();
    table.row("camera on the segment without the default route: listed after",
              format("%.1f ms", segments["far_ms"].asDouble()),
              format("<= %.1f ms + 5 ms, default segment's", on_default),
              segments["far_ms_worst"].asDouble() <= on_default + 5);
    double on_own = routed["near_ms"].asDouble();
    table.row("camera beyond a router, through bcrelay: listed after (worst of 5)",
              format("%.1f ms", routed["far_ms_worst"].asDouble()),
              format("<= %.1f ms + 5 ms, own subnet's", on_own),
              routed["far_ms_worst"].asDouble() <= on_own + 5);
}

void load_rows(Table &table, const Json::Value &main)
{
    const Json::Value &flood = main["flood"];
    double plain = flood["plain_per_second"].asDouble();
    table.row("flood of 200,000 presences: handled per second",
              format("%.0f/s", flood["library_per_second"].asDouble()),
              format(">= 0.5 x %.0f/s, plain recvfrom", plain),
              flood["library_per_second"].asDouble() >= 0.5 * plain);
    table.row("... dropped at the socket, library / plain recvfrom",
              format("%.0f / %.0f", flood["library_dropped"].asDouble(),
                     flood["plain_dropped"].asDouble()));
    const Json::Value &dup = main["duplicates"];
    double first = dup["resident_kib_after_first_1000"].asDouble();
    table.row("tool's resident memory after the first 1000 peers", format("%.0f KiB", first));
    // A page or two come and go with the allocator's trimming; a leak of a
    // byte per datagram would be 1000 KiB.
    table.row("... after 1,000,000 duplicates more, queue drained",
              format("%.0f KiB", dup["resident_kib_after_1000000"].asDouble()),
              "growth < 10 KiB (0.01 B each)",
              dup["resident_kib_after_1000000"].asDouble() < first + 10);
    const Json::Value &storm = main["probe_storm"];
    table.row("camera announced 100 ms after 3000 probes: reported after (worst)",
              format("%.1f ms", storm["report_latency_ms_worst"].asDouble()), "<= 50 ms",
              storm["report_latency_ms_worst"].asDouble() <= 50);
    table.row("... answers to those probes",
              format("%.0f in %.0f ms", storm["answers"].asDouble(),
                     storm["answers_span_ms"].asDouble()),
              "<= 1 per 40 ms", storm["answers_paced"].asBool());
    double free_ms = main["free_under_probe_flood"]["worst_ms"].asDouble();
    table.row("obx_discovery_free while probes flood in (worst)", format("%.1f ms", free_ms),
              "<= 50 ms", free_ms <= 50);
    double idle = main["idle_cpu_ms_worst"].asDouble();
    table.row("tool's CPU time over 10 idle seconds (worst)", format("%.0f ms", idle),
              "0 (10 ms clock ticks)", idle < 10);
}

void window_rows(Table &table, const Json::Value &window)
{
    const Json::Value &burst = window["burst"];
    const Json::Value &site = window["site"];
    auto within = [&](const char *figure, const Json::Value &ms, double target) {
        table.row(figure, format("%.1f ms", ms.asDouble()), format("<= %.0f ms", target),
                  ms.asDouble() <= target);
    };
    within("window, 1000 cameras answering: all listed after the last answer (worst)",
           burst["listed_after_last_answer_ms_worst"], 50);
    within("... longest main-loop iteration while they arrive (worst)",
           burst["longest_iteration_ms_worst"], 16);
    within("window, 100,000 peers at 20,000/s: all listed after the last (worst)",
           site["listed_after_last_ms_worst"], 1000);
    within("... longest main-loop iteration while they arrive (worst)",
           site["longest_iteration_ms_worst"], 16);
    table.row("... window's resident memory then, and empty",
              format("%.0f MiB, %.0f MiB", site["resident_mib"].asDouble(),
                     site["resident_mib_empty"].asDouble()));
    within("... refresh: main thread held beyond the library's wait (worst)",
           site["refresh_beyond_library_ms_worst"], 50);
    within("... longest main-loop iteration in the second after (worst)",
           site["longest_iteration_after_refresh_ms_worst"], 16);
    within("... a click on a header: sorted and drawn after (worst of 5)",
           site["sort_drawn_ms_worst"], 200);
    within("... a keystroke in the search bar: filtered and drawn after (worst of 10)",
           site["keystroke_drawn_ms_worst"], 50);
    within("window, 1000 answering into a sorted list: longest iteration (worst)",
           site["sorted_arrival_longest_iteration_ms_worst"], 16);
    within("... into a filtered list: longest iteration (worst)",
           site["filtered_arrival_longest_iteration_ms_worst"], 16);
}

void lossy_rows(Table &table, const Json::Value &lossy)
{
    for (const char *percent : {"10", "20"}) {
        const Json::Value &l = lossy["loss"][percent];
        double median = l["median_percent"].asDouble(), worst = l["worst_percent"].asDouble();
        table.row(format("50 cameras, %s %% loss each way: listed within 4 s, median / worst of %u starts",
                         percent, l["listed_percent"].size()),
                  format("%.0f %% / %.0f %%", median, worst), ">= 95 % / not none",
                  median >= 95 && worst > 0);
    }
    const Json::Value &startup = lossy["startup_1000"];
    table.row("one start at 1000 cameras: datagrams sent / received by the tool's host",
              format("%d / %d", startup["sent"].asInt(), startup["received"].asInt()));
}

void hostile_rows(Table &table, const Json::Value &hostile)
{
    const Json::Value &flood = hostile["flood"];
    table.row("10 s of 10,000 malformed datagrams a second: lines / bytes on standard error",
              format("%d / %d", flood["lines"].asInt(), flood["bytes"].asInt()),
              "<= 50 + 20 a second, and the count", flood["lines"].asInt() <= 50 + 20 * 12 + 2);
    for (const char *pass : {"flood", "flood_slow_console"}) {
        const Json::Value &r = hostile[pass];
        bool slow = std::string(pass) == "flood_slow_console";
        table.row(format("... camera's answers to a probe each 100 ms%s (worst)",
                         slow ? ", standard error at 11 KB/s" : ""),
                  format("%d of %d, %.0f ms", r["answered"].asInt(), r["probes"].asInt(),
                         r["answer_ms_worst"].asDouble()),
                  "all, <= 250 ms",
                  r["answered"] == r["probes"] && r["answer_ms_worst"].asDouble() <= 250);
    }
    double free_ms = hostile["free_stalled_stderr_ms_worst"].asDouble();
    table.row("obx_discovery_free with standard error a full pipe (worst)",
              format("%.1f ms", free_ms), "<= 100 ms", free_ms <= 100);
    double per_address = hostile["reported_addresses"]["bytes_per_address"].asDouble();
    table.row("reported-address set at 1,000,000 forged senders", format("%.1f B each", per_address),
              "<= 24 B", per_address <= 24);
}

void footprint_rows(Table &table, const Json::Value &sizes, const Json::Value &camera)
{
    std::string names, values;
    for (const std::string &arch : sizes.getMemberNames()) {
        names += (names.empty() ? "" : " / ") + arch;
        values += (values.empty() ? "" : " / ") + format("%.0f KiB", sizes[arch].asDouble() / 1024);
    }
    table.row("libobx_discovery.so stripped, " + names, values);
    table.row("camera's threads: its main thread and the library's",
              format("%d", camera["threads"].asInt()));
    table.row("camera's resident memory, idle / after 1000 probes",
              format("%d KiB / %d KiB", camera["resident_kib"].asInt(),
                     camera["resident_kib_after"].asInt()));
    const Json::Value &idle = camera["idle_10s"];
    table.row("camera's CPU time over 10 idle seconds", format("%.0f ms", idle["cpu_ms"].asDouble()),
              "0 (10 ms clock ticks)", idle["cpu_ms"].asDouble() < 10);
    table.row("camera's wake-ups over 10 idle seconds", format("%d", idle["wake_ups"].asInt()),
              "0", idle["wake_ups"].asInt() == 0);
    const Json::Value &probed = camera["probed_10s"];
    table.row("... with 100 probes a second: CPU time / wake-ups",
              format("%.0f ms / %d", probed["cpu_ms"].asDouble(), probed["wake_ups"].asInt()));
}

} // namespace

void print_table(const Json::Value &passes, const std::string &output)
{
    Table table(output + ".md");
    discovery_rows(table, passes);
    segment_rows(table, passes["segments"], passes["routed"]);
    load_rows(table, passes["main"]);
    window_rows(table, passes["window"]);
    lossy_rows(table, passes["lossy"]);
    hostile_rows(table, passes["hostile"]);
    Table firmware(output + "-footprint.md");
    footprint_rows(firmware, passes["sizes"], passes["footprint"]);
}
