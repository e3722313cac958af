#include "log.hpp"

#include "text.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace velk_slam::log {

std::atomic<uint8_t> g_max_level{static_cast<uint8_t>(Level::Off)};

namespace {

struct Subscriber {
  Filter filter;
  bool color = false;
  Writer writer;
};

std::atomic<Subscriber*> g_subscriber{nullptr};

constexpr std::string_view kLevelNames[] = {"off", "error", "warn", "info", "debug", "trace"};

std::optional<Level> parse_level(std::string_view word) {
  std::string lower(word);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lower == "warning") return Level::Warn;
  for (size_t i = 0; i < std::size(kLevelNames); ++i) {
    if (lower == kLevelNames[i]) return static_cast<Level>(i);
  }
  return std::nullopt;
}

std::string_view trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// A directive's target covers itself and every module path below it ("velk_slam" covers
// "velk_slam::odometry_fusion" but not "velk_slamx").
bool covers(std::string_view directive_target, std::string_view target) {
  if (target.size() < directive_target.size() || target.substr(0, directive_target.size()) != directive_target) {
    return false;
  }
  const std::string_view rest = target.substr(directive_target.size());
  return rest.empty() || rest.substr(0, 2) == "::";
}

// Text from the outside (frame ids, encodings, library messages) with its control characters escaped, so
// that a newline cannot end the line and start a forged one, and an escape sequence cannot recolour or
// rewrite the terminal: \n, \r, \t and \\ by name, every other C0 control, DEL and the UTF-8 encoded
// C1 controls (U+0080 to U+009F) as \xHH or \u00HH.
void append_escaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else if (const text::CodePoint cp = c < 0x80 ? text::CodePoint{} : text::decode_utf8(text, i);
               cp.value >= 0x80 && cp.value <= 0x9f) {
      out += "\\u00";
      out += kHex[cp.value >> 4];
      out += kHex[cp.value & 0xf];
      i += cp.length - 1;
    } else {
      out += static_cast<char>(c);
    }
  }
}

void append_field_value(std::string& out, const FieldValue& value) {
  std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          out += v ? "true" : "false";
        } else if constexpr (std::is_same_v<T, std::string_view>) {
          append_escaped(out, v);
        } else if constexpr (std::is_same_v<T, double>) {
          text::append_number(out, v);
        } else {
          out += std::to_string(v);
        }
      },
      value);
}

void write_stderr(std::string_view line) {
  // One fwrite per line: stdio locks the stream, so lines of concurrent threads do not interleave.
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

bool Filter::enabled(Level level, std::string_view target) const {
  if (level == Level::Off) return false;
  const Directive* best = nullptr;
  const Directive* bare = nullptr;
  for (const Directive& d : directives) {
    if (d.target.empty()) {
      bare = &d;
    } else if (covers(d.target, target) && (best == nullptr || d.target.size() > best->target.size())) {
      best = &d;
    }
  }
  const Directive* decides = best != nullptr ? best : bare;
  return decides != nullptr && static_cast<uint8_t>(level) <= static_cast<uint8_t>(decides->level);
}

Level Filter::max_level() const {
  uint8_t most = 0;
  for (const Directive& d : directives) most = std::max(most, static_cast<uint8_t>(d.level));
  return static_cast<Level>(most);
}

std::optional<Filter> parse_filter(std::string_view text, std::string* reason) {
  Filter filter;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = text.find(',', start);
    const std::string_view part = trim(text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
    start = comma == std::string_view::npos ? text.size() + 1 : comma + 1;
    if (part.empty()) continue;
    if (part.find_first_of("[]{}\"") != std::string_view::npos) {
      *reason = "span and field filters are not supported in directive `" + std::string(part) + "`";
      return std::nullopt;
    }
    const size_t eq = part.find('=');
    if (eq == std::string_view::npos) {
      if (const auto level = parse_level(part)) {
        filter.directives.push_back({"", *level});
      } else {
        // A bare word that names no level is a target with every level enabled.
        filter.directives.push_back({std::string(part), Level::Trace});
      }
      continue;
    }
    const std::string_view target = trim(part.substr(0, eq));
    const std::string_view level_text = trim(part.substr(eq + 1));
    if (target.empty()) {
      *reason = "directive `" + std::string(part) + "` names no target before `=`";
      return std::nullopt;
    }
    const auto level = parse_level(level_text);
    if (!level) {
      *reason = "invalid level `" + std::string(level_text) + "` in directive `" + std::string(part) +
                "`; expected one of off, error, warn, info, debug, trace";
      return std::nullopt;
    }
    filter.directives.push_back({std::string(target), *level});
  }
  return filter;
}

bool install(Filter filter, bool color, Writer writer, std::string* error) {
  auto* sub = new Subscriber{std::move(filter), color, writer ? std::move(writer) : Writer(write_stderr)};
  Subscriber* expected = nullptr;
  if (!g_subscriber.compare_exchange_strong(expected, sub, std::memory_order_acq_rel)) {
    delete sub;
    *error = "a global default trace dispatcher has already been set";
    return false;
  }
  g_max_level.store(static_cast<uint8_t>(sub->filter.max_level()), std::memory_order_release);
  return true;
}

void reset_for_tests() {
  g_max_level.store(static_cast<uint8_t>(Level::Off), std::memory_order_release);
  // Tests call this with no other thread logging, so the old subscriber can go.
  delete g_subscriber.exchange(nullptr, std::memory_order_acq_rel);
}

bool enabled_slow(Level level, std::string_view target) {
  const Subscriber* sub = g_subscriber.load(std::memory_order_acquire);
  return sub != nullptr && sub->filter.enabled(level, target);
}

std::string format_line(int64_t now_utc_ns, Level level, std::string_view target, std::string_view message,
                        std::span<const Field> fields, bool color) {
  static constexpr std::string_view kPadded[] = {"  OFF", "ERROR", " WARN", " INFO", "DEBUG", "TRACE"};
  static constexpr std::string_view kColors[] = {"", "\x1b[31m", "\x1b[33m", "\x1b[32m", "\x1b[34m", "\x1b[35m"};
  const auto lvl = static_cast<size_t>(level) < std::size(kPadded) ? static_cast<size_t>(level) : 0;

  // Floor division so that stamps before 1970 still split into seconds and microseconds correctly.
  int64_t secs = now_utc_ns / 1'000'000'000;
  int64_t sub_ns = now_utc_ns % 1'000'000'000;
  if (sub_ns < 0) {
    sub_ns += 1'000'000'000;
    secs -= 1;
  }
  const std::time_t tt = static_cast<std::time_t>(secs);
  std::tm tm{};
  gmtime_r(&tt, &tm);
  char stamp[64];
  std::snprintf(stamp, sizeof(stamp), "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(sub_ns / 1000));

  std::string line;
  line.reserve(128);
  if (color) {
    line += "\x1b[2m";
    line += stamp;
    line += "\x1b[0m ";
    line += kColors[lvl];
    line += kPadded[lvl];
    line += "\x1b[0m \x1b[2m";
    line += target;
    line += ":\x1b[0m ";
  } else {
    line += stamp;
    line += ' ';
    line += kPadded[lvl];
    line += ' ';
    line += target;
    line += ": ";
  }
  line += message;
  for (const Field& f : fields) {
    line += ' ';
    if (color) {
      line += "\x1b[3m";
      line += f.name;
      line += "\x1b[0m\x1b[2m=\x1b[0m";
    } else {
      line += f.name;
      line += '=';
    }
    append_field_value(line, f.value);
  }
  line += '\n';
  return line;
}

void emit(Level level, std::string_view target, std::string_view message, std::span<const Field> fields) {
  const Subscriber* sub = g_subscriber.load(std::memory_order_acquire);
  if (sub == nullptr || !sub->filter.enabled(level, target)) return;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const int64_t now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
  const std::string line = format_line(now_ns, level, target, message, fields, sub->color);
  try {
    sub->writer(line);
  } catch (...) {
    // A failed write never reaches the engines or the caller.
  }
}

bool check_and_record(std::atomic<uint64_t>& last, uint64_t interval_ns) {
  using Clock = std::chrono::steady_clock;
  static const Clock::time_point start = Clock::now();
  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
  uint64_t now = elapsed > 0 ? static_cast<uint64_t>(elapsed) : 0;
  if (now == 0) now = 1;  // 0 means "never emitted"
  uint64_t prev = last.load(std::memory_order_relaxed);
  if (prev != 0) {
    const uint64_t since = now > prev ? now - prev : 0;
    if (since < interval_ns) return false;
  }
  return last.compare_exchange_strong(prev, now, std::memory_order_relaxed, std::memory_order_relaxed);
}

}  // namespace velk_slam::log
