// Writes the state file in pieces: the text goes to a sink as it is made and
// the check sum is taken on the way, so no copy of the whole file is held.
#pragma once

#include "sim/StateFile.h"
#include "sim/StateText.h"

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace sim {

// A stretch of a state file's text: bytes [begin, end).
struct TextSpan {
    uint64_t begin = 0;
    uint64_t end = 0;
};
// Where the data lines of each array lie in a state file: by tag ('b' or
// 'c') and the array, while a writer holds it.
using DataLines = std::map<std::pair<char, const void*>, TextSpan>;

class StateWriter {
public:
    // Takes each piece of text in order; false stops the writing.
    using Sink = std::function<bool(std::string_view)>;
    explicit StateWriter(Sink sink);

    // The version line and, when it is on, the wire timing.
    void Begin(const WireSettings* wire);
    // One writer and its sockets. A buffer shared with an earlier socket, a
    // chip that holds what an earlier socket's chip holds, and a chip that
    // holds the chip image of a buffer (its own socket's or an earlier one's)
    // are written as a reference to it.
    void Writer(const SavedWriter& writer);
    // Entries kept as the file holds them (another process's writer).
    void Copy(std::string_view text);
    // The end line with the check sum; false when the sink refused a piece.
    bool End();
    // The end line End() wrote, line break included.
    const std::string& EndLine() const { return endLine_; }

    // Data lines of arrays that `earlier` lists (the text `read` reads) are
    // copied from that text instead of being made again: an array a writer
    // still holds has not changed since.
    using Reader = std::function<bool(uint64_t at, char* data, size_t length)>;
    void ReuseFrom(Reader read, const DataLines& earlier);
    // The data lines of this text so far, and how much of it there is.
    const DataLines& Written() const { return written_; }
    uint64_t Offset() const { return flushed_ + buffer_.size(); }
    // False once a piece could not be read for copying.
    bool Copied() const { return copied_; }

private:
    void Put(std::string_view text) { buffer_.append(text); }
    void Number(uint64_t value);
    // Lines "<tag> <offset> <hex>" for every run of bytes of `array` that are
    // not blank.
    void Runs(char tag, const std::vector<uint8_t>& bytes, const void* array);
    void Flush(bool always);

    Sink sink_;
    std::string buffer_;
    statetext::CheckSum sum_;
    bool failed_ = false;
    uint64_t flushed_ = 0;
    Reader read_;
    const DataLines* earlier_ = nullptr;
    DataLines written_;
    bool copied_ = true;
    std::string endLine_;
};

} // namespace sim
