#include "packet/isal.hpp"

#if MORVANE_HAVE_ISAL

#include <isa-l/igzip_lib.h>

#include <cstring>

namespace morvane {

namespace {

constexpr std::size_t kInputSize = std::size_t{256} << 10;
// ISA-L checks less than zlib inside a member: it takes some Huffman code sets that zlib refuses
// (incomplete or over-subscribed) and decodes on until a later symbol fails, and it notices a
// distance too far back a few bytes after it has written the literals decoded with it. The last
// kHold bytes of an unfinished member are therefore kept until ISA-L has gone past them, so that
// zlib, re-inflating a member ISA-L gave up on, decides which of them are handed out.
constexpr std::size_t kHold = std::size_t{1} << 20;
constexpr std::size_t kStep = std::size_t{256} << 10;  // least room for one inflate call
constexpr std::size_t kOutSize = kHold + kStep;
constexpr std::size_t kFixedHeader = 10;  // ID1 ID2 CM FLG MTIME(4) XFL OS
// Reserved flag bits (zlib refuses them, ISA-L does not) and the header check value (which zlib
// words its own way): members with any of them are left to zlib.
constexpr unsigned char kFlagsForZlib = 0xE2;

// Owns the ISA-L state, the compressed input buffer and the inflated bytes not yet handed out;
// borrows the file.
class IsalInflater final : public FastInflater {
 public:
  explicit IsalInflater(InputFile& file)
      : file_(file),
        input_(new unsigned char[kInputSize]),
        state_(new inflate_state),
        out_(new unsigned char[kOutSize]) {
    isal_inflate_init(state_.get());
    file_.seek(0);
  }

  std::size_t read_some(unsigned char* dst, std::size_t n) override;
  bool done() const noexcept override { return phase_ == Phase::done; }
  Handover handover() const noexcept override { return {member_file_, member_out_, members_ > 0}; }
  void restart() override;

 private:
  enum class Phase { member_start, in_member, done, gave_up };

  std::uint64_t handed() const noexcept { return out_total_ - (wr_ - rd_); }
  std::uint64_t safe_end() const noexcept;
  bool top_up_input(std::size_t at_least);
  void start_member();
  void inflate_step();
  void member_finished();

  InputFile& file_;
  std::unique_ptr<unsigned char[]> input_;
  std::size_t in_next_ = 0;     // first byte of input_ not given to ISA-L, between members
  std::size_t in_len_ = 0;      // bytes of input_ read from the file
  std::uint64_t in_file_ = 0;   // file offset of input_[0]
  bool eof_ = false;
  std::unique_ptr<inflate_state> state_;
  std::unique_ptr<unsigned char[]> out_;
  std::size_t rd_ = 0;          // out_[rd_, wr_): inflated, not handed out
  std::size_t wr_ = 0;
  std::uint64_t out_total_ = 0;   // output offset of out_[wr_]
  std::uint64_t member_out_ = 0;  // output offset of the current member's first byte
  std::uint64_t member_file_ = 0; // file offset of its first byte
  std::uint64_t members_ = 0;     // members finished with their check values right
  Phase phase_ = Phase::member_start;
};

std::uint64_t IsalInflater::safe_end() const noexcept {
  switch (phase_) {
    case Phase::in_member:
      return out_total_ - member_out_ > kHold ? out_total_ - kHold : member_out_;
    case Phase::gave_up:
      return member_out_;
    case Phase::member_start:
    case Phase::done:
      break;
  }
  return out_total_;
}

// True when at least `at_least` bytes wait in input_ from in_next_ on; short only at the end.
bool IsalInflater::top_up_input(std::size_t at_least) {
  if (in_len_ - in_next_ >= at_least) return true;
  const std::size_t keep = in_len_ - in_next_;
  if (keep > 0 && in_next_ > 0) std::memmove(input_.get(), input_.get() + in_next_, keep);
  in_file_ += in_next_;
  in_next_ = 0;
  in_len_ = keep;
  while (in_len_ < at_least && !eof_) {
    const std::size_t got = file_.read_some(input_.get() + in_len_, kInputSize - in_len_);
    if (got == 0) eof_ = true;
    in_len_ += got;
  }
  return in_len_ >= at_least;
}

void IsalInflater::start_member() {
  const bool whole_header = top_up_input(kFixedHeader);
  member_file_ = in_file_ + in_next_;
  member_out_ = out_total_;
  if (in_len_ == in_next_ && eof_ && members_ > 0) {
    phase_ = Phase::done;
    return;
  }
  const unsigned char* h = input_.get() + in_next_;
  if (!whole_header || h[0] != 0x1F || h[1] != 0x8B || h[2] != 8 || (h[3] & kFlagsForZlib) != 0) {
    phase_ = Phase::gave_up;
    return;
  }
  isal_inflate_reset(state_.get());
  state_->crc_flag = ISAL_GZIP;
  state_->next_in = input_.get() + in_next_;
  state_->avail_in = static_cast<std::uint32_t>(in_len_ - in_next_);
  phase_ = Phase::in_member;
}

void IsalInflater::member_finished() {
  ++members_;
  phase_ = Phase::member_start;
  // The trailer is whole bytes; whatever ISA-L took into its bit buffer beyond it is given back.
  const std::int32_t bits = state_->read_in_length;
  const std::uint64_t used = static_cast<std::uint64_t>(state_->next_in - input_.get());
  if (bits < 0 || bits % 8 != 0 || static_cast<std::uint64_t>(bits / 8) > in_file_ + used) {
    phase_ = Phase::gave_up;  // never seen; zlib is the judge of anything unexpected
    member_file_ = in_file_ + used;
    member_out_ = out_total_;
    return;
  }
  const std::uint64_t next = in_file_ + used - static_cast<std::uint64_t>(bits / 8);
  if (next >= in_file_) {
    in_next_ = static_cast<std::size_t>(next - in_file_);
  } else {
    file_.seek(next);
    in_file_ = next;
    in_len_ = in_next_ = 0;
    eof_ = false;
  }
}

void IsalInflater::inflate_step() {
  if (kOutSize - wr_ < kStep) {
    std::memmove(out_.get(), out_.get() + rd_, wr_ - rd_);
    wr_ -= rd_;
    rd_ = 0;
  }
  if (state_->avail_in == 0 && !eof_) {
    in_file_ += in_len_;
    in_len_ = in_next_ = 0;
    const std::size_t got = file_.read_some(input_.get(), kInputSize);
    if (got == 0) eof_ = true;
    in_len_ = got;
    state_->next_in = input_.get();
    state_->avail_in = static_cast<std::uint32_t>(got);
  }
  const std::uint32_t in_before = state_->avail_in;
  const std::uint32_t room = static_cast<std::uint32_t>(kOutSize - wr_);
  state_->next_out = out_.get() + wr_;
  state_->avail_out = room;
  const int rc = isal_inflate(state_.get());
  const std::size_t got = room - state_->avail_out;
  wr_ += got;
  out_total_ += got;
  if (rc != ISAL_DECOMP_OK) {
    phase_ = Phase::gave_up;
  } else if (state_->block_state == ISAL_BLOCK_FINISH) {
    member_finished();
  } else if (got == 0 && state_->avail_in == in_before) {
    // Cut short (ISA-L also keeps back the last symbols zlib would still decode), or stuck.
    phase_ = Phase::gave_up;
  }
}

std::size_t IsalInflater::read_some(unsigned char* dst, std::size_t n) {
  for (;;) {
    const std::uint64_t from = handed();
    const std::uint64_t end = safe_end();
    if (end > from) {
      const std::size_t k = end - from < n ? static_cast<std::size_t>(end - from) : n;
      std::memcpy(dst, out_.get() + rd_, k);
      rd_ += k;
      if (rd_ == wr_) rd_ = wr_ = 0;
      return k;
    }
    switch (phase_) {
      case Phase::member_start:
        start_member();
        break;
      case Phase::in_member:
        inflate_step();
        break;
      case Phase::done:
      case Phase::gave_up:
        return 0;
    }
  }
}

void IsalInflater::restart() {
  file_.seek(0);
  in_next_ = in_len_ = 0;
  in_file_ = 0;
  eof_ = false;
  rd_ = wr_ = 0;
  out_total_ = member_out_ = member_file_ = members_ = 0;
  phase_ = Phase::member_start;
}

}  // namespace

std::unique_ptr<FastInflater> make_isal_inflater(InputFile& file) {
  return std::make_unique<IsalInflater>(file);
}

}  // namespace morvane

#else

namespace morvane {

std::unique_ptr<FastInflater> make_isal_inflater(InputFile&) { return nullptr; }

}  // namespace morvane

#endif
