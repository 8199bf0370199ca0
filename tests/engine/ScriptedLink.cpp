#include "tests/engine/ScriptedLink.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace enginetest {

std::string HexDump(const uint8_t* data, size_t length) {
    std::string out;
    char cell[32];
    for (size_t i = 0; i < length; ++i) {
        if (i % 16 == 0) {
            std::snprintf(cell, sizeof cell, "%s%04zx:", i ? "\n" : "", i);
            out += cell;
        }
        std::snprintf(cell, sizeof cell, " %02x", data[i]);
        out += cell;
    }
    return out;
}

void ScriptedLink::ExpectWrite(const Bytes& request, bool ok, const std::string& failText) {
    script_.push_back({true, request, ok, failText.empty() ? kWriteFailText : failText});
}

void ScriptedLink::ExpectRead(const Bytes& reply, bool ok, const std::string& failText) {
    script_.push_back({false, reply, ok, failText.empty() ? kReadFailText : failText});
}

int ScriptedLink::Write(const uint8_t* data, size_t length) {
    written_.emplace_back(data, data + length);
    if (script_.empty()) {
        ADD_FAILURE() << "unexpected write of " << length << " bytes:\n" << HexDump(data, length);
        return 0;
    }
    Step step = std::move(script_.front());
    script_.pop_front();
    if (!step.isWrite) {
        ADD_FAILURE() << "expected a read of " << step.bytes.size() << " bytes, got a write of "
                      << length << " bytes:\n"
                      << HexDump(data, length);
        return 0;
    }
    if (step.bytes.size() != length || !std::equal(step.bytes.begin(), step.bytes.end(), data)) {
        ADD_FAILURE() << "write differs from the expected request\nexpected (" << step.bytes.size()
                      << " bytes):\n"
                      << HexDump(step.bytes.data(), step.bytes.size()) << "\nwritten (" << length
                      << " bytes):\n"
                      << HexDump(data, length);
    }
    if (!step.ok) {
        ReportError(step.failText.c_str());
        return 0;
    }
    return 1;
}

int ScriptedLink::Read(uint8_t* data, size_t length) {
    if (script_.empty()) {
        ADD_FAILURE() << "unexpected read of " << length << " bytes";
        return 0;
    }
    Step step = std::move(script_.front());
    script_.pop_front();
    if (step.isWrite) {
        ADD_FAILURE() << "expected a write of:\n"
                      << HexDump(step.bytes.data(), step.bytes.size()) << "\ngot a read of "
                      << length << " bytes";
        return 0;
    }
    if (step.bytes.size() != length) {
        ADD_FAILURE() << "read of " << length << " bytes, script has a reply of "
                      << step.bytes.size() << " bytes:\n"
                      << HexDump(step.bytes.data(), step.bytes.size());
        return 0;
    }
    if (!step.ok) {
        ReportError(step.failText.c_str());
        return 0;
    }
    std::copy(step.bytes.begin(), step.bytes.end(), data);
    return 1;
}

int ScriptedLink::FindAnyWriter() {
    findAnyWriterBodyType = bodyType;
    return findAnyWriterResult;
}

} // namespace enginetest
