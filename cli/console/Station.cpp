#include "cli/console/Station.h"

#include "cli/console/Interrupt.h"
#include "cli/console/Report.h"
#include "core/Log.h"
#include "image/BodyTable.h"
#include "port/LocalTime.h"
#include "usb/ProcessLink.h"

#include <algorithm>
#include <ostream>

namespace cli {
namespace {

using nlohmann::json;
namespace ids = app::ids;

// Output that goes nowhere: the station answers in JSON only.
std::ostream& NullStream() {
    static std::ostream null(nullptr);
    return null;
}

// A request that cannot be served: its answer says why.
struct BadRequest {
    int code;
    std::string why;
};

// The commands that change the writer, the chips or the settings: each is
// logged with the client's address and the time.
bool ChangesState(const std::string& command, const json& request) {
    if (command == "counters")
        return request.value("reset", false);
    return command == "body" || command == "open" || command == "load" || command == "program";
}

template <typename T> T Field(const json& request, const char* key, T fallback) {
    const auto it = request.find(key);
    if (it == request.end() || it->is_null())
        return fallback;
    try {
        return it->get<T>();
    } catch (const json::exception&) {
        throw BadRequest{kExitUsage, std::string("\"") + key + "\" has the wrong type"};
    }
}

std::optional<std::vector<int>> Sockets(const json& request) {
    if (!request.contains("sockets") || request["sockets"].is_null())
        return std::nullopt;
    const std::string text = Field<std::string>(request, "sockets", "");
    std::vector<int> list;
    if (!ParseSocketList(text, list))
        throw BadRequest{kExitUsage, "not a socket list of 1-16: \"" + text + "\""};
    return list;
}

ImageArgs Image(const json& request) {
    ImageArgs image;
    image.body = Field<int>(request, "body", 0);
    image.file = Field<std::string>(request, "file", "");
    if ((request.contains("body") || !image.file.empty()) &&
        (image.body < 1 || image.body > image::kLastBody))
        throw BadRequest{kExitUsage, "--body must be 1 to " + std::to_string(image::kLastBody)};
    return image;
}

} // namespace

json ErrorDocument(const std::string& command, int code, const std::string& error) {
    json doc{{"exitCode", code}, {"error", error}};
    doc["command"] = command.empty() ? json(nullptr) : json(command);
    return doc;
}

Station::Station(CommonOptions common, std::ostream& err)
    : common_(std::move(common)), err_(err), io_{NullStream(), err} {
    common_.json = true; // nothing but the answers on the transport
    worker_ = std::thread([this] { Work(); });
}

Station::~Station() {
    StopAndWait();
    {
        std::lock_guard<std::mutex> hold(lock_);
        ending_ = true;
    }
    changed_.notify_all();
    worker_.join();
}

int Station::Start() {
    session_ = std::make_unique<Session>(common_, err_);
    return session_->Start();
}

bool Station::EnsureAttached(json& doc) {
    if (session_ && session_->HasWindow() && usb::USBInfo()->IsOpened())
        return true;
    // The writer left (or was never there): a fresh start claims it again.
    std::unique_ptr<Session> old;
    {
        std::lock_guard<std::mutex> hold(lock_);
        old = std::move(session_);
    }
    old.reset();
    auto fresh = std::make_unique<Session>(common_, err_);
    const int code = fresh->Start();
    {
        std::lock_guard<std::mutex> hold(lock_);
        session_ = std::move(fresh);
        if (stopAsked_)
            session_->RequestStop();
    }
    if (code != kExitOk) {
        doc = ErrorDocument("", code, "no writer is attached");
        return false;
    }
    return true;
}

bool Station::Busy() {
    std::lock_guard<std::mutex> hold(lock_);
    return busy_ || answering_ || !waiting_.empty();
}

bool Station::QuitRequested() {
    std::lock_guard<std::mutex> hold(lock_);
    return quit_;
}

void Station::WaitIdle() {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this] { return !busy_ && !answering_ && waiting_.empty(); });
}

void Station::StopAndWait() {
    std::deque<Job> dropped;
    {
        std::lock_guard<std::mutex> hold(lock_);
        dropped.swap(waiting_);
        if (busy_) {
            stopAsked_ = true;
            if (session_)
                session_->RequestStop();
        }
    }
    for (const Job& job : dropped)
        Answer(job, ErrorDocument(job.command, kExitStopped, "stopped before it started"));
    WaitIdle();
}

void Station::Answer(const Job& job, json doc) {
    if (job.request.contains("id"))
        doc["id"] = job.request["id"];
    job.reply(doc.dump());
}

void Station::Audit(const std::string& client, const std::string& command, const json& request) {
    // The function log keeps who changed the station, whatever its own
    // setting says: a station driven from the network must leave a trace.
    core::C_LogFunc log;
    log.SetEnabled(1);
    const port::LocalTime t = port::GetLocalTime();
    log.Write(core::Format("\nserve %04d-%02d-%02d %02d:%02d:%02d client %s: %s %s", t.year,
                           t.month, t.day, t.hour, t.minute, t.second, client.c_str(),
                           command.c_str(), request.dump().c_str()));
}

void Station::Submit(const std::string& line, const std::string& client, Reply reply) {
    json request;
    try {
        request = json::parse(line);
    } catch (const json::exception&) {
        reply(ErrorDocument("", kExitUsage, "not a JSON document").dump());
        return;
    }
    if (!request.is_object() || !request.contains("command") || !request["command"].is_string()) {
        reply(ErrorDocument("", kExitUsage, "a request is a JSON object with a \"command\" string")
                  .dump());
        return;
    }
    Job job{request, request["command"], client, std::move(reply)};
    static const char* const kCommands[] = {"body",   "open",     "load", "program", "counters",
                                            "status", "read-otp", "stop", "quit"};
    if (std::find(std::begin(kCommands), std::end(kCommands), job.command) == std::end(kCommands)) {
        Answer(job, ErrorDocument(job.command, kExitUsage,
                                  "unknown command; the commands are body, open, load, program, "
                                  "counters, status, read-otp, stop, quit"));
        return;
    }
    if (job.command == "stop") {
        std::deque<Job> dropped;
        json doc{{"command", "stop"}, {"exitCode", 0}};
        {
            std::lock_guard<std::mutex> hold(lock_);
            doc["stopping"] = busy_;
            if (busy_) {
                doc["running"] = running_;
                stopAsked_ = true;
                if (session_)
                    session_->RequestStop();
            }
            dropped.swap(waiting_);
        }
        for (const Job& waiting : dropped)
            Answer(waiting,
                   ErrorDocument(waiting.command, kExitStopped, "stopped before it started"));
        Answer(job, doc);
        return;
    }
    std::unique_lock<std::mutex> hold(lock_);
    if (job.command == "status" && busy_) {
        const json doc{
            {"command", "status"}, {"exitCode", 0}, {"busy", true}, {"running", running_}};
        hold.unlock();
        Answer(job, doc);
        return;
    }
    if (quitting_) {
        hold.unlock();
        Answer(job, ErrorDocument(job.command, kExitUsage, "the station is quitting"));
        return;
    }
    if (job.command == "quit")
        quitting_ = true;
    if (waiting_.size() >= kMaxWaiting) {
        hold.unlock();
        Answer(job, ErrorDocument(job.command, kExitUsage,
                                  "too many commands waiting; wait for their answers"));
        return;
    }
    if (ChangesState(job.command, job.request))
        Audit(client, job.command, job.request);
    waiting_.push_back(std::move(job));
    hold.unlock();
    changed_.notify_all();
}

void Station::Work() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> hold(lock_);
            changed_.wait(hold, [this] { return ending_ || !waiting_.empty(); });
            if (waiting_.empty())
                return;
            job = std::move(waiting_.front());
            waiting_.pop_front();
            busy_ = true;
            running_ = job.command;
            // A stop reaches the job from here on.
            stopAsked_ = false;
            if (session_)
                session_->ClearStop();
        }
        json doc;
        if (job.command == "quit") {
            doc = json{{"command", "quit"}, {"exitCode", 0}};
        } else {
            try {
                doc = Run(job.request, job.command);
            } catch (const BadRequest& bad) {
                doc = ErrorDocument(job.command, bad.code, bad.why);
            } catch (const std::exception& e) {
                doc = ErrorDocument(job.command, kExitUsage, e.what());
            }
        }
        {
            // Quit counts, and the station is idle, before the answer leaves:
            // a transport that reads the answer never takes another command,
            // and a status asked right after it finds nothing running.
            std::lock_guard<std::mutex> hold(lock_);
            if (job.command == "quit")
                quit_ = true;
            busy_ = false;
            running_.clear();
            answering_ = true;
        }
        Answer(job, doc);
        {
            std::lock_guard<std::mutex> hold(lock_);
            answering_ = false;
        }
        changed_.notify_all();
    }
}

json Station::Run(const json& request, const std::string& command) {
    json doc;
    if (!EnsureAttached(doc)) {
        doc["command"] = command;
        return doc;
    }
    Session& s = *session_;
    const size_t messagesBefore = s.Host().Messages().size();
    doc = json{{"command", command}};
    int code = kExitOk;
    if (command == "status") {
        doc.update(Status());
    } else if (command == "body") {
        const ImageArgs image = Image(request);
        if (image.body == 0)
            throw BadRequest{kExitUsage, "body needs \"body\": 1 to 34"};
        code = OpenOn(s, {image.body, ""}, doc, false);
    } else if (command == "open") {
        const ImageArgs image = Image(request);
        if (image.file.empty())
            throw BadRequest{kExitUsage, "open needs \"body\" and \"file\""};
        code = OpenOn(s, image, doc, true);
    } else if (command == "load") {
        const ImageArgs image = Image(request);
        const auto sockets = Sockets(request);
        if (image.body != 0)
            code = OpenOn(s, image, doc, true);
        if (code == kExitOk)
            code = LoadOn(s, sockets, doc, common_, io_);
    } else if (command == "program") {
        ProgramArgs args;
        args.image = Image(request);
        args.sockets = Sockets(request);
        args.ops.blankCheck = Field<bool>(request, "blank-check", false);
        args.ops.program = Field<bool>(request, "program", false);
        args.ops.verify = Field<bool>(request, "verify", false);
        args.ops.ihrc = Field<bool>(request, "ihrc", false);
        args.load = Field<bool>(request, "load", false);
        args.stressCount = Field<int>(request, "stress", 0);
        args.stressInterval = Field<int>(request, "interval", 1500);
        args.logCsv = Field<std::string>(request, "log-csv", "");
        args.station = Field<std::string>(request, "station", "");
        if (request.contains("stress") && args.stressCount < 1)
            throw BadRequest{kExitUsage, "--stress must be 1 or more"};
        if (args.stressInterval < 1)
            throw BadRequest{kExitUsage, "--interval must be 1 or more"};
        if ((args.stressCount > 0 || args.ops.ihrc) && !common_.developer)
            throw BadRequest{kExitUsage, std::string(args.stressCount > 0 ? "stress" : "ihrc") +
                                             " uses developer-mode buttons: serve with "
                                             "--developer"};
        ProductionRecord record;
        std::string message;
        if (!args.logCsv.empty() && !record.Open(args.logCsv, message))
            throw BadRequest{kExitUsage, message + " Nothing was programmed."};
        if (args.image.body != 0)
            code = OpenOn(s, args.image, doc, true);
        if (code == kExitOk)
            code = ProgramOn(s, args, record.IsOpen() ? &record : nullptr, doc, common_, io_);
    } else if (command == "counters") {
        code = CountersOn(s, Field<bool>(request, "reset", false), doc, common_, io_);
    } else if (command == "read-otp") {
        if (!common_.developer)
            throw BadRequest{kExitUsage, "read-otp uses developer-mode buttons: serve with "
                                         "--developer"};
        const std::string out = Field<std::string>(request, "out", "");
        if (CheckOutFile(out, io_) != kExitOk)
            throw BadRequest{kExitUsage, "--out names no file in an existing folder"};
        code = ReadOtpOn(s, Sockets(request), out, doc, common_, io_);
    }
    const auto messages = s.Host().Messages();
    doc["messages"] = std::vector<std::string>(
        messages.begin() + static_cast<std::ptrdiff_t>(std::min(messagesBefore, messages.size())),
        messages.end());
    if (Interrupted()) {
        code = InterruptExitCode();
        doc["interrupted"] = InterruptName();
    } else if (s.Stopping()) {
        doc["stopped"] = true;
        if (command == "load" || command == "program")
            code = kExitStopped;
    }
    doc["exitCode"] = code;
    return doc;
}

json Station::Status() {
    Session& s = *session_;
    json doc;
    doc["busy"] = false;
    doc["writer"] = WriterJson(s.Writer());
    doc["body"] = {{"index", s.Body()}, {"name", s.BodyName()}};
    doc["image"] = {{"file", s.ImageFile()}, {"checksum", s.ImageCheckSum()}};
    doc["bufferLoaded"] = s.Dlg().State().bufferLoaded.load() != 0;
    doc["counters"] = {{"ok", s.Dlg().State().okCount.load()},
                       {"fail", s.Dlg().State().failCount.load()}};
    json sockets = json::array();
    for (int i = 0; i < ids::kSocketCount; ++i)
        sockets.push_back({{"socket", i + 1},
                           {"enabled", s.Host().Check(ids::kSocketBoxBase + i) != 0},
                           {"text", s.Host().Text(ids::kStatusTextBase + i)}});
    doc["sockets"] = sockets;
    return doc;
}

} // namespace cli
