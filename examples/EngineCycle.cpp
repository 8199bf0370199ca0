// A full programming cycle at engine level on a simulated writer: select a
// body, open an image made for it, load and verify the writer buffer, blank
// check, program and verify 16 sockets, read one chip back and compare it.
// Every state printed is what the simulated writer answered, reached through
// the writer's driver (LINKPOD) in the user-mode kernel.
//
// The backend is chosen as every program chooses it, from BURNWRIGHT_WRITER
// ("sim" when it is not set, since this cycle needs a writer it can prepare),
// so "sim:STATE_FILE", "sim-direct" and BURNWRIGHT_SIM_CAPTURE work here too.
#include "core/ProgramInfo.h"
#include "driver/simstack/Backend.h"
#include "driver/simstack/KernelStack.h"
#include "engine/OTP.h"
#include "image/Acceptance.h"
#include "image/ChipBinFiles.h"
#include "port/ProgramPath.h"
#include "sim/Bus.h"
#include "sim/StepTime.h"
#include "usb/ProcessLink.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kBody = 12;         // a plain-copy body with one accepted length
constexpr int kEmptySocket = 4;   // no chip in it
constexpr int kBadChipSocket = 9; // its chip fails verify
constexpr const char* kImageName = "EngineDemo.bin";
constexpr const char* kReadBackName = "ReadOTPData.OTP.bin";

void PrintHeader() {
    std::printf("%-22s", "step / socket");
    for (int i = 0; i < 16; ++i)
        std::printf("%7d", i);
    std::printf("\n");
}

// Sockets left out of a step show their state in parentheses.
void PrintStates(const char* step, int result, engine::C_OTP& otp) {
    std::printf("%-16s%-6s", step, result ? "ok" : "FAIL");
    const auto& states = otp.GetSocketStates();
    for (int i = 0; i < 16; ++i)
        std::printf("%7s", (otp.IsSocketEnabled(i)
                                ? std::string(engine::SocketStateText(states[i]))
                                : "(" + std::string(engine::SocketStateText(states[i])) + ")")
                               .c_str());
    std::printf("\n");
    if (!result && !otp.GetMessage().empty())
        std::printf("%22s(message: %s)\n", "", otp.GetMessage().c_str());
}

// With the bus's wire timing on, a step's host time beside its wire time.
void PrintStepTime(const sim::StepTime& time) {
    if (time.WireOn())
        std::printf("%22shost %.1f ms, wire %.3f s\n", "", time.HostMs(),
                    double(time.WireMs()) / 1000.0);
}

// An image for the body: its accepted length, a byte pattern, and no
// development-environment information word (the 16-bit word 6 bytes before the end).
std::vector<uint8_t> MakeImage(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>((i * 37) ^ (i >> 8));
    if (length >= 6) {
        bytes[length - 6] = 0;
        bytes[length - 5] = 0;
    }
    return bytes;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The demo's writer whatever a state file kept: blank chips in every socket
// but one, and one chip that fails verify.
void PrepareDemoWriter(sim::Writer& writer) {
    writer.ClearFaults();
    for (int i = 0; i < 16; ++i) {
        if (i == kEmptySocket)
            writer.RemoveChip(i);
        else
            writer.InsertChip(i);
    }
    writer.FailSocket(kBadChipSocket, sim::Operation::Verify);
}

} // namespace

int main(int argc, char** argv) {
    if (core::AnswerHelpOrVersion(
            argc, argv, "burnwright-engine-demo",
            "usage: burnwright-engine-demo\n"
            "A full programming cycle at engine level on a simulated writer: body, image, load\n"
            "and verify of the writer buffer, blank check, program and verify of 16 sockets, one\n"
            "chip read back and compared. Writes its image and read-back files in the program's\n"
            "folder. BURNWRIGHT_WRITER chooses the writer (sim when not set: sim, sim:STATE_FILE,\n"
            "sim-direct); BURNWRIGHT_SIM_CAPTURE=FILE records every transfer; "
            "BURNWRIGHT_SIM_WIRE=on\n"
            "times the bus as a full-speed bus.\n"))
        return 0;
    if (argc > 1) {
        std::fprintf(stderr, "burnwright-engine-demo takes no arguments (--help says more).\n");
        return 2;
    }
    const std::string folder = port::ModuleFolder();
    std::printf("Burnwright engine cycle on a SIMULATED writer (no hardware is used)\n");
    std::printf("Program folder: %s\n", folder.c_str());

    driver::simstack::RegisterDeviceIoBackends();
    usb::I_USBInfo& link = *usb::USBInfo(); // on the backend BURNWRIGHT_WRITER names
    const char* chosen = std::getenv("BURNWRIGHT_WRITER");
    if (!chosen || !*chosen)
        usb::SelectLinkBackend("sim");
    port::DeviceIo* io = usb::LinkBackend();
    if (!io) {
        link.SetBodyType(usb::kIceBodyWriter);
        link.Open();
        std::printf("No writer backend: %s\n", link.GetMessage().c_str());
        return 1;
    }
    const std::shared_ptr<sim::Bus> bus = driver::simstack::SimulatedBus(io);
    if (!bus || bus->Writers().empty()) {
        std::printf("The writer backend \"%s\" offers no simulated writer to prepare; this "
                    "cycle runs with BURNWRIGHT_WRITER=sim, sim:STATE_FILE or sim-direct.\n",
                    io->Name().c_str());
        return 1;
    }
    for (const auto& writer : bus->Writers())
        PrepareDemoWriter(*writer);
    auto* kernel = dynamic_cast<driver::simstack::KernelStack*>(io);
    if (const char* capture = std::getenv("BURNWRIGHT_SIM_CAPTURE"); capture && *capture)
        std::printf("Every transfer is recorded in %s\n", capture);

    engine::C_OTP otp(link);
    link.SetBodyType(usb::kIceBodyWriter);
    if (!link.EnsureOpen()) {
        std::printf("No simulated writer answered: %s\n", link.GetMessage().c_str());
        return 1;
    }
    std::printf("Writer: %s (%s)\n", link.GetDevicePath().c_str(),
                kernel ? "through LINKPOD in the user-mode kernel"
                       : "in-process, without the driver");

    // Body and image.
    image::C_OTPBodyProfiler& catalogue = *otp.GetBodyCatalogue();
    if (!catalogue.Find(kBody)) {
        std::printf("The body profile beside the program does not define body %d.\n", kBody);
        return 1;
    }
    otp.SelectBody(kBody);
    const std::string bodyName = catalogue.GetComboName(kBody);
    std::printf("Body %d \"%s\": OTP %d bytes, read-back %d KB, firmware body code %d\n", kBody,
                bodyName.c_str(), catalogue.GetOTPSize(), catalogue.GetOTPBinSize(),
                catalogue.GetFwBody());
    const image::SizeRule* rule = image::FindSizeRule(kBody);
    const std::vector<uint8_t> file =
        MakeImage(rule->lengths.empty() ? rule->upTo : rule->lengths[0]);
    const std::string imagePath = folder + kImageName;
    if (!WriteFile(imagePath, file)) {
        std::printf("Cannot write the demo image %s\n", imagePath.c_str());
        return 1;
    }
    const image::Evaluation verdict = image::EvaluateImageFile(kBody, bodyName, file);
    std::printf("Image %s: %zu bytes, %s%s%s\n", kImageName, file.size(),
                verdict.accepted ? "accepted for the body" : "REFUSED",
                verdict.message.empty() ? "" : " - ", verdict.message.c_str());
    image::C_OTPBinFile& img = *otp.GetImage();
    img.SetFileName(imagePath);
    std::printf("Chip image %d bytes, word image %d bytes, image checksum %X, end address %d\n\n",
                img.GetChipImageSize(), img.GetWordImageSize(), img.ComputeImageCheckSum(),
                img.GetLastUnit());

    PrintHeader();
    // Attach: scan, read the states, keep the sockets that hold a chip.
    int ok = otp.ScanSockets() && otp.ReadStatus() && otp.ResetSocketStates();
    PrintStates("Attach", ok, otp);

    auto timed = [&](const char* step, const std::function<int()>& run) {
        const sim::StepTime time(bus.get());
        const int result = run();
        PrintStates(step, result, otp);
        PrintStepTime(time);
        return result;
    };
    timed("Load buffer", [&] { return otp.LoadBuffer(); });
    timed("Verify buffer", [&] { return otp.VerifyBuffer(kBody); });
    otp.SelectPassed(0);
    timed("Blank check", [&] { return otp.BlankCheckOTP(); });
    otp.SelectPassed(1);
    timed("Program", [&] { return otp.ProgramOTP(); });
    otp.SelectPassed(1);
    const int verified = timed("Verify", [&] { return otp.VerifyOTP(); });
    otp.SendSocketStates();

    const int good = otp.CountSockets(engine::kSocketOK);
    const auto& states = otp.GetSocketStates();
    std::printf("\nChips programmed and verified: %d; failed: %d; empty socket %d reads %s\n", good,
                states[kBadChipSocket] == engine::kSocketFail ? 1 : 0, kEmptySocket,
                engine::SocketStateText(states[kEmptySocket]));

    // Read a chip back (the writer takes the first chip of the sockets last
    // selected) and compare it with the image's chip image: the word image
    // loaded into the writer buffer holds it with a check byte per group,
    // which the writer verifies and leaves out.
    otp.SelectPassed(1);
    const int read = otp.ReadOTP(kReadBackName);
    std::printf("Read back into %s: %s\n", kReadBackName,
                read ? "ok" : "FAIL (a selected socket reads Fail, or the link failed)");
    const std::vector<uint8_t> back = ReadFile(folder + kReadBackName);

    // What the chip must hold: the chip image up to the program end address,
    // blank (0xFF) beyond it.
    const uint32_t otpEnd = static_cast<uint32_t>(catalogue.GetOTPSize()) - 1u;
    const uint32_t programEnd = std::min(static_cast<uint32_t>(img.GetLastUnit()), otpEnd);
    const uint8_t* chipImage = img.GetChipImage();
    const size_t chipSize = static_cast<size_t>(img.GetChipImageSize());
    size_t mismatches = 0;
    for (size_t a = 0; a < back.size(); ++a) {
        const uint8_t expected = (a <= programEnd && a < chipSize) ? chipImage[a] : 0xFF;
        if (back[a] != expected)
            ++mismatches;
    }
    const bool whole = back.size() >= chipSize && programEnd + 1 >= chipSize;
    std::printf("Read-back: %zu bytes, %zu differ from the chip image%s\n", back.size(), mismatches,
                mismatches == 0 && whole ? " - the chip holds the image" : "");

    size_t findings = 0;
    if (kernel) {
        kernel->Settle();
        findings = kernel->Findings().size();
        std::printf("Kernel: %llu bulk transfers through LINKPOD, %zu verifier finding(s)\n",
                    static_cast<unsigned long long>(kernel->BusTransfers()), findings);
    }

    const bool asExpected = findings == 0 && verdict.accepted && read && whole && mismatches == 0 &&
                            !verified && states[kBadChipSocket] == engine::kSocketFail &&
                            good == 14;
    std::printf("\nCycle %s.\n",
                asExpected ? "complete: every socket behaved as set up" : "did NOT go as set up");
    return asExpected ? 0 : 1;
}
