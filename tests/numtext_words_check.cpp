// Holds the CSV writer's batch and row-order number texts (channel_words, ChannelWordMemo,
// TimeTexts) and its single-value writers to the C library's "%.*f", byte for byte.
//
//   numtext_words_check range FIRST LAST STRIDE   float32 bit patterns FIRST, FIRST + STRIDE, ...
//                                                 up to LAST (hexadecimal)
//   numtext_words_check values                    float32 bit patterns from standard input, one
//                                                 hexadecimal pattern a line
//   numtext_words_check rounding                  the same under each rounding mode of <cfenv>
//                                                 (the texts stay those of round to nearest;
//                                                 for magnitudes below 2^23 only, where the
//                                                 writers do integer work)
//   numtext_words_check times                     times in microseconds from standard input, one a
//                                                 line; a blank line starts a new writer
//
// Values go to channel_words in runs of varied lengths, with guard words after each run, and to
// one ChannelWordMemo kept for the whole check, so its entries are replaced as values collide.
// Each sequence of times goes to TimeTexts::write one time at a time, and to TimeTexts::words
// in consecutive windows of 1 to 120 times, as the rows of blocks.
// Prints "ok N" with the number of texts compared, or the first mismatch.
#include <algorithm>
#include <bit>
#include <cfenv>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "package/numtext.hpp"

namespace {

constexpr std::uint64_t kGuard = 0x5A5A5A5A5A5A5A5Aull;
std::uint64_t checked = 0;

[[noreturn]] void fail(const std::string& what) {
  std::printf("mismatch %s\n", what.c_str());
  std::exit(1);
}

std::string libc_text(double v, int decimals) {
  char text[512];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

std::string hex(std::uint32_t bits) {
  char text[16];
  std::snprintf(text, sizeof text, "%08" PRIx32, bits);
  return text;
}

// The text format_channel must write: the C library's for finite values, fixed words otherwise.
std::string channel_text(float f) {
  if (std::isnan(f)) return "NaN";
  if (std::isinf(f)) return f < 0 ? "-inf" : "inf";
  return libc_text(static_cast<double>(f), 6);
}

// The rounding mode the writers run under (the texts expected are always those of the
// default mode, round to nearest).
int run_mode = FE_TONEAREST;

// One run through channel_words, each word against the magnitude's text, then format_channel.
void check_run(const std::vector<float>& run) {
  const std::size_t n = run.size();
  std::vector<std::uint64_t> words(n + 8, kGuard);
  std::vector<std::string> texts(n);
  std::fesetround(run_mode);
  const bool all = morvane::channel_words(run.data(), n, words.data());
  static morvane::ChannelWordMemo memo;
  std::vector<std::uint64_t> remembered(n + 8, kGuard);
  const bool all_remembered = memo.words(run.data(), n, remembered.data());
  for (std::size_t i = 0; i < n; ++i) {
    char text[morvane::kFixedTextMax];
    texts[i].assign(text, morvane::format_channel(run[i], text));
  }
  std::fesetround(FE_TONEAREST);
  bool expected_all = true;
  for (std::size_t i = 0; i < n; ++i) {
    const float f = run[i];
    const std::string want = channel_text(f);
    const std::string magnitude = want[0] == '-' ? want.substr(1) : want;
    // A word exactly where the magnitude's text is one digit, the point and six decimals.
    const bool has_word = magnitude.size() == 8 && magnitude[1] == '.';
    std::uint64_t want_word = 0;
    if (has_word) std::memcpy(&want_word, magnitude.data(), 8);
    expected_all = expected_all && has_word;
    if (words[i] != want_word) {
      char got[9] = {};
      std::memcpy(got, &words[i], 8);
      fail("word of " + hex(std::bit_cast<std::uint32_t>(f)) + " (" + want + "): '" + got + "'");
    }
    if (remembered[i] != want_word) {
      char got[9] = {};
      std::memcpy(got, &remembered[i], 8);
      fail("remembered word of " + hex(std::bit_cast<std::uint32_t>(f)) + " (" + want + "): '" +
           got + "'");
    }
    if (texts[i] != want) {
      fail("channel " + hex(std::bit_cast<std::uint32_t>(f)) + ": " + want + " written as " +
           texts[i]);
    }
    checked += 2;
  }
  for (std::size_t i = n; i < words.size(); ++i) {
    if (words[i] != kGuard) fail("word written past a run of " + std::to_string(n));
    if (remembered[i] != kGuard) fail("remembered word past a run of " + std::to_string(n));
  }
  if (all != expected_all) fail("all-words answer of a run of " + std::to_string(n));
  if (all_remembered != expected_all) {
    fail("remembered all-words answer of a run of " + std::to_string(n));
  }
}

// Runs of 1 to 13 values, then whole blocks of 120, so every remainder after the four-value
// steps occurs; then each value alone among ordinary ones, in every place of a four-value step,
// since one value outside the word path sends its whole step the scalar way.
void check_values(const std::vector<float>& values) {
  std::vector<float> alone(4, 0.25f);
  for (std::size_t i = 0; i < values.size(); ++i) {
    alone[i % 4] = values[i];
    check_run(alone);
    alone[i % 4] = 0.25f;
  }
  static const std::size_t kLengths[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 120, 120};
  std::size_t start = 0;
  std::size_t k = 0;
  while (start < values.size()) {
    const std::size_t len = std::min(kLengths[k++ % std::size(kLengths)], values.size() - start);
    check_run(std::vector<float>(values.begin() + static_cast<std::ptrdiff_t>(start),
                                 values.begin() + static_cast<std::ptrdiff_t>(start + len)));
    start += len;
  }
}

void check_time(morvane::TimeTexts& texts, std::int64_t us) {
  const std::string want = libc_text(static_cast<double>(us) / 1e6, 4);
  char text[morvane::kFixedTextMax];
  std::size_t len = texts.write(us, text);
  if (std::string(text, len) != want) {
    fail("row time " + std::to_string(us) + ": " + want + " written as " + std::string(text, len));
  }
  len = morvane::format_time(us, text);
  if (std::string(text, len) != want) {
    fail("time " + std::to_string(us) + ": " + want + " written as " + std::string(text, len));
  }
  checked += 2;
}

// A time whose text may leave the batch: outside the fifteen-character years, or a tie at the
// fourth decimal (us ending in 50), which the batch takes only within the current second.
bool may_leave_batch(std::int64_t us) {
  constexpr std::int64_t kFrom = 1000000000000000;
  constexpr std::int64_t kTo = (std::int64_t{1} << 32) * 1000000 - 50;
  return us < kFrom || us >= kTo || us % 100 == 50 || us % 100 == -50;
}

// The sequence through TimeTexts::words in consecutive windows of 1 to 120 times, one writer
// for the whole sequence: a window done in the batch has every text right, and only a window
// holding a time that may leave the batch is left to be written one by one.
void check_time_windows(const std::vector<std::int64_t>& times) {
  morvane::TimeTexts texts;
  std::size_t start = 0;
  std::size_t length = 1;
  while (start < times.size()) {
    const std::size_t n = std::min(length, times.size() - start);
    std::vector<std::uint64_t> words(2 * n + 2, kGuard);
    const bool done = texts.words(times.data() + start, n, words.data());
    bool may_leave = false;
    for (std::size_t i = 0; i < n; ++i) may_leave = may_leave || may_leave_batch(times[start + i]);
    if (!done && !may_leave) {
      fail("time window from " + std::to_string(times[start]) + " left to one by one");
    }
    if (done) {
      for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t us = times[start + i];
        const std::string want = libc_text(static_cast<double>(us) / 1e6, 4);
        const std::string got(reinterpret_cast<const char*>(words.data() + 2 * i), 15);
        if (got != want) fail("batch time " + std::to_string(us) + ": " + want + " made as " + got);
        ++checked;
      }
    }
    if (words[2 * n] != kGuard || words[2 * n + 1] != kGuard) fail("time text past a window");
    start += n;
    length = length % 120 + 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  char line[128];
  if (mode == "range" && argc == 5) {
    const std::uint64_t first = std::strtoull(argv[2], nullptr, 16);
    const std::uint64_t last = std::strtoull(argv[3], nullptr, 16);
    const std::uint64_t stride = std::strtoull(argv[4], nullptr, 16);
    std::vector<float> values;
    for (std::uint64_t b = first; b <= last; b += stride) {
      values.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(b)));
      if (values.size() == 1 << 16) {
        check_values(values);
        values.clear();
      }
    }
    check_values(values);
  } else if (mode == "values" || mode == "rounding") {
    std::vector<float> values;
    while (std::fgets(line, sizeof line, stdin)) {
      unsigned long bits = 0;
      if (std::sscanf(line, "%lx", &bits) == 1) {
        values.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
      }
    }
    if (mode == "values") {
      check_values(values);
    } else {
      for (const int m : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO, FE_TONEAREST}) {
        run_mode = m;
        check_values(values);
      }
    }
  } else if (mode == "times") {
    morvane::TimeTexts texts;
    std::vector<std::int64_t> sequence;
    while (std::fgets(line, sizeof line, stdin)) {
      long long us = 0;
      if (std::sscanf(line, "%lld", &us) == 1) {
        check_time(texts, us);
        sequence.push_back(us);
      } else {
        texts = morvane::TimeTexts();
        check_time_windows(sequence);
        sequence.clear();
      }
    }
    check_time_windows(sequence);
  } else {
    std::printf("usage: %s range FIRST LAST STRIDE | values | rounding | times\n", argv[0]);
    return 2;
  }
  std::printf("ok %" PRIu64 "\n", checked);
  return 0;
}
