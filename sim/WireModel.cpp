#include "sim/WireModel.h"

#include <algorithm>
#include <sstream>

namespace sim {
namespace {

bool ParseNumber(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 9)
        return false;
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + uint32_t(c - '0');
    }
    value = v;
    return true;
}

} // namespace

bool ParseWireSettings(const std::string& text, WireSettings& settings, std::string& error) {
    WireSettings parsed;
    if (text == "off" || text == "0") {
        settings = parsed;
        return true;
    }
    parsed.on = true;
    if (text == "on" || text == "1") {
        settings = parsed;
        return true;
    }
    std::istringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        uint32_t value = 0;
        if (eq == std::string::npos || !ParseNumber(item.substr(eq + 1), value)) {
            error = "The wire timing \"" + text +
                    "\" is not understood: give off, on, or turnaround-ms=N and "
                    "program-ns-per-byte=N separated by commas";
            return false;
        }
        if (key == "turnaround-ms") {
            parsed.turnaroundMs = value;
        } else if (key == "program-ns-per-byte") {
            parsed.programNsPerByte = value;
        } else {
            error = "The wire timing \"" + text + "\" names an unknown setting \"" + key +
                    "\" (known: turnaround-ms, program-ns-per-byte)";
            return false;
        }
    }
    settings = parsed;
    return true;
}

std::string FormatWireSettings(const WireSettings& settings) {
    if (!settings.on)
        return "off";
    return "turnaround-ms=" + std::to_string(settings.turnaroundMs) +
           ",program-ns-per-byte=" + std::to_string(settings.programNsPerByte);
}

void WireModel::Configure(const WireSettings& settings) {
    std::lock_guard<std::mutex> guard(mutex_);
    settings_ = settings;
    on_ = settings.on;
}

WireSettings WireModel::Settings() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return settings_;
}

bool WireModel::On() const {
    return on_;
}

uint64_t WireModel::NowMs() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return now_;
}

void WireModel::HostStarts() {
    if (!on_)
        return;
    std::lock_guard<std::mutex> guard(mutex_);
    if (settings_.on)
        hostReady_ = std::max(hostReady_, now_ + settings_.turnaroundMs);
}

void WireModel::Carry(uint32_t member, size_t bytes, size_t programBytes) {
    if (!on_)
        return;
    uint64_t wait = 0;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!settings_.on)
            return;
        // Frames are 1 ms long, so a frame's number is its start in wire ms.
        // The previous transfer used its last frame up to the end, so this
        // one starts in a frame of its own.
        uint64_t& writerReady = writerReady_[member];
        const uint64_t start = std::max({now_, hostReady_, writerReady});
        const uint64_t packets = std::max<uint64_t>(1, (bytes + kPacketBytes - 1) / kPacketBytes);
        const uint64_t frames = (packets + kPacketsPerFrame - 1) / kPacketsPerFrame;
        const uint64_t done = start + frames;
        if (programBytes) {
            const uint64_t ns = uint64_t(programBytes) * settings_.programNsPerByte;
            writerReady = done + (ns + 999999) / 1000000;
        }
        wait = done - now_;
        now_ = done;
    }
    if (wait)
        clock_.SleepMs(static_cast<uint32_t>(wait));
}

} // namespace sim
