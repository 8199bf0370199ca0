#include "sim/StateTool.h"

#include "sim/SimDeviceIo.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <map>
#include <stdexcept>

namespace sim {
namespace {

const char* const kUsage =
    "usage: burnwright-sim STATE_FILE COMMAND [ARGUMENTS]\n"
    "commands: show | add-writer MEMBER [TYPE] | remove-writer MEMBER | plug MEMBER |\n"
    "          unplug MEMBER | insert-chip MEMBER SOCKET [SIZE] | remove-chip MEMBER SOCKET |\n"
    "          fresh-chips MEMBER | boot-loader MEMBER | wire "
    "off|on|turnaround-ms=N,program-ns-per-byte=N\n";

bool Number(const std::string& text, unsigned long limit, unsigned long& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::strtoul(text.c_str(), nullptr, 10);
    return value <= limit;
}

const char* StateName(SocketState s) {
    switch (s) {
    case SocketState::Init:
        return "Init";
    case SocketState::Ok:
        return "OK";
    case SocketState::Busy:
        return "Busy";
    case SocketState::Fail:
        return "Fail";
    }
    return "?";
}

void Show(Bus& bus, std::ostream& out) {
    // Chips that share one array are looked at once.
    std::map<const void*, bool> blank;
    auto isBlank = [&blank](const Chip& chip) {
        auto it = blank.find(chip.ContentsId());
        if (it == blank.end())
            it = blank.emplace(chip.ContentsId(), chip.IsBlank()).first;
        return it->second;
    };
    for (const auto& w : bus.Writers()) {
        const auto fw = w->Firmware();
        out << "member " << w->Member() << (w->Plugged() ? "" : " (unplugged)") << ": "
            << w->InterfacePath() << "\n  type " << unsigned(w->Config().deviceType)
            << ", firmware " << fw.version[0] << '.' << fw.version[1] << '.' << fw.version[2] << '.'
            << fw.version[3] << (fw.inBootLoader ? " (boot loader)" : "") << ", counters "
            << w->PassCount() << '/' << w->FailCount() << ", information "
            << (w->Information() ? "stored" : "empty") << '\n';
        for (int i = 0; i < kSocketCount; ++i) {
            const auto chip = w->ChipAt(i);
            out << "  socket " << i << ": ";
            if (!chip)
                out << "no chip";
            else
                out << (chip->Fixed() ? std::to_string(chip->Size()) + "-byte chip"
                                      : std::string("chip of any body"))
                    << (isBlank(*chip) ? ", blank" : ", programmed");
            out << ", " << StateName(w->StateOf(i)) << '\n';
        }
    }
}

} // namespace

const char* StateToolUsage() {
    return kUsage;
}

int RunStateTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() < 2) {
        err << kUsage;
        return 2;
    }
    const std::string& command = args[1];
    const size_t count = args.size() - 2;
    // Nothing is read or written for a command that does not exist.
    static const char* const kCommands[] = {
        "show",        "add-writer",  "remove-writer", "plug",        "unplug",
        "insert-chip", "remove-chip", "fresh-chips",   "boot-loader", "wire"};
    if (std::find(std::begin(kCommands), std::end(kCommands), command) == std::end(kCommands)) {
        err << "Unknown command \"" << command << "\"\n" << kUsage;
        return 2;
    }
    unsigned long member = 0, socket = 0, extra = 0;
    WireSettings wire;
    if (command == "wire") {
        std::string why;
        if (count != 1 || !ParseWireSettings(args[2], wire, why)) {
            err << (count != 1 ? std::string("\"wire\" needs one setting") : why) << '\n' << kUsage;
            return 2;
        }
    }
    const bool needsMember = command != "show" && command != "wire";
    if (needsMember && (count < 1 || !Number(args[2], 99, member))) {
        err << "\"" << command << "\" needs a member index from 0 to 99\n" << kUsage;
        return 2;
    }
    std::shared_ptr<Bus> bus;
    try {
        // Showing never creates or rewrites the file.
        bus = MakeBus(args[0], port::SystemClock(), command != "show");
    } catch (const std::exception& e) {
        err << e.what() << '\n';
        return 1;
    }
    auto writer = needsMember ? bus->WriterAt(uint32_t(member)) : nullptr;
    auto needWriter = [&]() {
        if (!writer)
            err << "There is no writer at member " << member << '\n';
        return writer != nullptr;
    };
    auto socketArgument = [&]() {
        if (count < 2 || !Number(args[3], kSocketCount - 1, socket)) {
            err << "\"" << command << "\" needs a socket from 0 to 15\n";
            return false;
        }
        return true;
    };
    if (command == "show") {
        out << "wire timing " << FormatWireSettings(bus->Wire().Settings()) << '\n';
        Show(*bus, out);
    } else if (command == "wire") {
        bus->SetWireSettings(wire);
    } else if (command == "add-writer") {
        WriterConfig config;
        config.member = uint32_t(member);
        if (count >= 2) {
            if (!Number(args[3], 255, extra)) {
                err << "The device type must be a number from 0 to 255\n";
                return 2;
            }
            config.deviceType = uint8_t(extra);
        }
        if (!bus->AddWriterWithChips(config)) {
            err << "Member " << member << " is taken\n";
            return 1;
        }
    } else if (command == "remove-writer") {
        if (!needWriter())
            return 1;
        bus->RemoveWriter(uint32_t(member));
    } else if (command == "plug" || command == "unplug") {
        if (!needWriter())
            return 1;
        if (command == "plug")
            bus->Plug(uint32_t(member));
        else
            bus->Unplug(uint32_t(member));
    } else if (command == "insert-chip" || command == "remove-chip") {
        if (!needWriter())
            return 1;
        if (!socketArgument())
            return 2;
        if (command == "remove-chip") {
            writer->RemoveChip(int(socket));
        } else {
            if (count >= 3 && !Number(args[4], kMaxChipSize, extra)) {
                err << "The chip size must be a byte count up to " << kMaxChipSize << '\n';
                return 2;
            }
            writer->InsertChip(int(socket), count >= 3 ? size_t(extra) : 0);
        }
    } else if (command == "fresh-chips") {
        // A new blank chip in every socket, in one step for scripts that run
        // pass after pass.
        if (!needWriter())
            return 1;
        writer->FreshChips();
    } else if (command == "boot-loader") {
        if (!needWriter())
            return 1;
        auto fw = writer->Firmware();
        fw.appValid = false;
        fw.inBootLoader = true;
        writer->SetFirmware(fw);
    }
    const std::string saveError = bus->LastSaveError();
    if (!saveError.empty()) {
        err << saveError << '\n';
        return 1;
    }
    return 0;
}

} // namespace sim
