// The bytes of an input file or of standard input, read once to tell the kind of file and
// then again by whichever decoder takes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <istream>
#include <streambuf>
#include <string>
#include <vector>

namespace Trackloom::io {

// A file is read and sought directly. A stream that cannot seek (a pipe) keeps its first
// kKeptBytes, so a decoder may go back over the headers it has read, and its last
// kRecentBytes, so one may step back over the start of a chained stream's next part;
// elsewhere it may only skip forward. Memory stays bounded whatever the stream's length.
class ByteInput : public std::streambuf {
  public:
    static constexpr size_t kKeptBytes = size_t{1} << 20;  // room for any header and a seek back
    static constexpr size_t kRecentBytes = size_t{256} * 1024;  // any Ogg page and its headers
    static constexpr int64_t kUnknownLength = -1;

    ByteInput() = default;
    ByteInput(const ByteInput&) = delete;
    ByteInput& operator=(const ByteInput&) = delete;

    // False if the file cannot be opened.
    bool openFile(const std::string& path);
    // A stream the caller keeps alive; never sought.
    void openStream(std::istream& in);
    // A stream the caller keeps alive that can seek, as a file (one in memory).
    void openSeekableStream(std::istream& in);

    bool seekable() const { return seekable_; }
    // Bytes in the file, or kUnknownLength for a stream.
    int64_t length() const { return length_; }

    // Reads up to `size` bytes at the current position; returns the bytes read.
    size_t read(void* out, size_t size);
    // Moves to byte `position`; false where a stream cannot go there (back to bytes it no
    // longer keeps, or past its end).
    bool seek(uint64_t position);
    uint64_t tell() const { return position_; }
    // True once a stream was asked to go back past what it kept: a reader that needed that
    // has lost its place.
    bool lostPlace() const { return lostPlace_; }

  private:
    int_type underflow() override;
    // Stream: copies consumed bytes from `position_` on, as far as one kept run goes.
    size_t readConsumed(char* out, size_t size);

    std::ifstream file_;
    std::istream* in_ = nullptr;
    bool seekable_ = false;
    bool lostPlace_ = false;
    int64_t length_ = kUnknownLength;
    uint64_t position_ = 0;
    uint64_t consumed_ = 0;     // stream: bytes taken from it so far
    std::vector<char> kept_;    // stream: its first bytes, all of those consumed while they fit
    std::vector<char> recent_;  // stream: the bytes consumed last, kRecentBytes to twice that
    std::vector<char> window_;  // the bytes underflow() last handed to an istream
};

}  // namespace Trackloom::io
