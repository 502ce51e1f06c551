#include "dsp/io/byte_input.h"

#include <algorithm>
#include <cstring>

namespace Trackloom::io {
namespace {

constexpr size_t kWindowBytes = size_t{64} * 1024;  // what an istream takes per refill
constexpr size_t kSkipBytes = 4096;                 // discarded per step when skipping ahead

}  // namespace

bool ByteInput::openFile(const std::string& path) {
    file_.open(path, std::ios::binary);
    if (!file_) return false;
    openSeekableStream(file_);
    return true;
}

void ByteInput::openSeekableStream(std::istream& in) {
    // A named pipe (or /dev/stdin) opens like a file but cannot seek: read it as a stream.
    in.seekg(0, std::ios::end);
    const std::streamoff end = in.tellg();
    if (!in || end < 0) {
        in.clear();
        openStream(in);
        return;
    }
    in.seekg(0);
    in_ = &in;
    seekable_ = true;
    length_ = static_cast<int64_t>(end);
}

void ByteInput::openStream(std::istream& in) {
    in_ = &in;
    seekable_ = false;
    length_ = kUnknownLength;
}

size_t ByteInput::readConsumed(char* out, size_t size) {
    size_t n = 0;
    const uint64_t recentStart = consumed_ - recent_.size();
    if (position_ < kept_.size()) {
        n = std::min(size, static_cast<size_t>(kept_.size() - position_));
        std::memcpy(out, kept_.data() + position_, n);
    } else if (position_ >= recentStart) {
        n = std::min(size, static_cast<size_t>(consumed_ - position_));
        std::memcpy(out, recent_.data() + (position_ - recentStart), n);
    }
    position_ += n;
    return n;
}

size_t ByteInput::read(void* out, size_t size) {
    if (in_ == nullptr) return 0;
    char* dst = static_cast<char*>(out);
    size_t got = 0;
    // seek() only lands behind the stream's read point on bytes it keeps; a run of them may
    // still end before the read point, where the bytes are gone.
    while (!seekable_ && got < size && position_ < consumed_) {
        const size_t n = readConsumed(dst + got, size - got);
        if (n == 0) {
            lostPlace_ = true;
            return got;
        }
        got += n;
    }
    if (got < size) {
        in_->read(dst + got, static_cast<std::streamsize>(size - got));
        const auto n = static_cast<size_t>(in_->gcount());
        if (n < size - got) in_->clear();
        if (!seekable_) {
            if (kept_.size() == consumed_) {
                const size_t keep = std::min(n, kKeptBytes - kept_.size());
                kept_.insert(kept_.end(), dst + got, dst + got + keep);
            }
            recent_.insert(recent_.end(), dst + got, dst + got + n);
            if (recent_.size() > 2 * kRecentBytes) {
                recent_.erase(recent_.begin(),
                              recent_.begin() + static_cast<long>(recent_.size() - kRecentBytes));
            }
            consumed_ += n;
        }
        position_ += n;
        got += n;
    }
    return got;
}

bool ByteInput::seek(uint64_t position) {
    if (in_ == nullptr) return false;
    if (seekable_) {
        if (position > static_cast<uint64_t>(length_)) return false;
        in_->clear();
        in_->seekg(static_cast<std::streamoff>(position));
        if (!*in_) return false;
        position_ = position;
        return true;
    }
    if (position <= consumed_) {
        // Back over the first bytes while all that was consumed is kept, or over the last.
        const bool kept = kept_.size() == consumed_ || position >= consumed_ - recent_.size();
        if (position < consumed_ && !kept) {
            lostPlace_ = true;
            return false;
        }
        position_ = position;
        return true;
    }
    position_ = consumed_;
    char scratch[kSkipBytes];
    while (consumed_ < position) {
        const size_t step =
            static_cast<size_t>(std::min<uint64_t>(kSkipBytes, position - consumed_));
        if (read(scratch, step) != step) return false;
    }
    return true;
}

ByteInput::int_type ByteInput::underflow() {
    window_.resize(kWindowBytes);
    const size_t n = read(window_.data(), window_.size());
    if (n == 0) return traits_type::eof();
    setg(window_.data(), window_.data(), window_.data() + n);
    return traits_type::to_int_type(window_[0]);
}

}  // namespace Trackloom::io
