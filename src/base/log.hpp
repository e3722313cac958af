// Structured log events for the engines: a level, a target (the emitting module's path), a message and
// named fields. Nothing is written until a subscriber is installed (init_logging from Python); from then
// on enabled events become one line each on standard error.
//
// Use at a call site:
//   VELK_LOG(Warn, kLogTarget, "message", {"frame", frame_id}, {"count", n});
//   VELK_LOG_THROTTLED(5'000'000'000, Warn, kLogTarget, "message", {"frame", frame_id});
// A disabled event costs one level comparison: the fields are not even constructed. A throttled site
// owns one atomic LAST_NS word; the throttle clock is read only for events that pass the filter.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velk_slam::log {

enum class Level : uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// The value of one named field. Strings are borrowed for the duration of the emit call.
using FieldValue = std::variant<bool, int64_t, uint64_t, double, std::string_view>;

struct Field {
  std::string_view name;
  FieldValue value;

  Field(std::string_view n, bool v) : name(n), value(v) {}
  Field(std::string_view n, double v) : name(n), value(v) {}
  Field(std::string_view n, float v) : name(n), value(static_cast<double>(v)) {}
  Field(std::string_view n, std::string_view v) : name(n), value(v) {}
  Field(std::string_view n, const std::string& v) : name(n), value(std::string_view(v)) {}
  Field(std::string_view n, const char* v) : name(n), value(std::string_view(v)) {}
  template <typename I>
    requires(std::is_integral_v<I> && !std::is_same_v<I, bool>)
  Field(std::string_view n, I v) : name(n) {
    if constexpr (std::is_signed_v<I>) {
      value = static_cast<int64_t>(v);
    } else {
      value = static_cast<uint64_t>(v);
    }
  }
};

// A parsed directive filter: bare levels and target=level directives, comma-separated.
struct Directive {
  std::string target;  // empty: applies to every target
  Level level = Level::Off;
};
struct Filter {
  std::vector<Directive> directives;
  bool enabled(Level level, std::string_view target) const;
  Level max_level() const;
};

// Parses "info", "velk_slam=debug", "warn,velk_slam::odometry_fusion=trace", ... On a bad directive
// returns nullopt and sets *reason.
std::optional<Filter> parse_filter(std::string_view text, std::string* reason);

// Where formatted lines go: standard error unless a test installs its own writer.
using Writer = std::function<void(std::string_view line)>;

// Installs the process-wide subscriber. Only the first installation succeeds; later ones return false,
// set *error to the failure text and leave the first subscriber in force.
bool install(Filter filter, bool color, Writer writer, std::string* error);

// The most verbose level any installed directive enables; Off while no subscriber is installed.
extern std::atomic<uint8_t> g_max_level;

bool enabled_slow(Level level, std::string_view target);

inline bool enabled(Level level, std::string_view target) {
  if (static_cast<uint8_t>(level) > g_max_level.load(std::memory_order_relaxed)) {
    return false;
  }
  return enabled_slow(level, target);
}

// Formats and writes one event; call only after enabled() said yes.
void emit(Level level, std::string_view target, std::string_view message, std::span<const Field> fields);
inline void emit(Level level, std::string_view target, std::string_view message,
                 std::initializer_list<Field> fields) {
  emit(level, target, message, std::span<const Field>(fields.begin(), fields.size()));
}

// Logs an engine's counters as one information event (not throttled): one field per counter, named and
// ordered by the counters' for_each(f(name, value)).
template <typename Counters>
void emit_counters(std::string_view target, std::string_view message, const Counters& counters) {
  if (!enabled(Level::Info, target)) return;
  std::vector<Field> fields;
  counters.for_each([&](std::string_view name, uint64_t value) { fields.emplace_back(name, value); });
  emit(Level::Info, target, message, fields);
}

// Throttle for one call site: true when the site may emit now. `last` holds the time of the site's last
// emitted event in nanoseconds since the process-wide start instant (0: never emitted). Lock-free: one
// relaxed load and one relaxed compare-and-exchange.
bool check_and_record(std::atomic<uint64_t>& last, uint64_t interval_ns);

// Formats one line as the subscriber writes it (exposed for tests). `now_utc_ns` is the wall clock in
// nanoseconds since the Unix epoch.
std::string format_line(int64_t now_utc_ns, Level level, std::string_view target, std::string_view message,
                        std::span<const Field> fields, bool color);
inline std::string format_line(int64_t now_utc_ns, Level level, std::string_view target, std::string_view message,
                               std::initializer_list<Field> fields, bool color) {
  return format_line(now_utc_ns, level, target, message, std::span<const Field>(fields.begin(), fields.size()), color);
}

// Test support: removes and destroys the installed subscriber so that a test can install its own. Only
// for tests in which no other thread is logging.
void reset_for_tests();

}  // namespace velk_slam::log

#define VELK_LOG(level, target, message, ...)                                                          \
  do {                                                                                                 \
    if (::velk_slam::log::enabled(::velk_slam::log::Level::level, (target))) {                         \
      ::velk_slam::log::emit(::velk_slam::log::Level::level, (target), (message), {__VA_ARGS__});      \
    }                                                                                                  \
  } while (false)

#define VELK_LOG_THROTTLED(interval_ns, level, target, message, ...)                                   \
  do {                                                                                                 \
    static std::atomic<uint64_t> LAST_NS{0};                                                           \
    if (::velk_slam::log::enabled(::velk_slam::log::Level::level, (target)) &&                         \
        ::velk_slam::log::check_and_record(LAST_NS, (interval_ns))) {                                  \
      ::velk_slam::log::emit(::velk_slam::log::Level::level, (target), (message), {__VA_ARGS__});      \
    }                                                                                                  \
  } while (false)
