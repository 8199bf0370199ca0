#include "cli/image_tool/ImageTool.h"

#include "image/Acceptance.h"
#include "image/BodyTable.h"
#include "image/ChipBinFiles.h"
#include "image/XdeLadders.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

namespace image::tool {
namespace {

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", value);
    return text;
}

bool WriteWhole(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (file && size > 0)
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    file.close();
    return static_cast<bool>(file);
}

bool ParseRecord(const std::string& hex, InfoRecord& record) {
    if (hex.size() != 2 * record.size())
        return false;
    for (size_t i = 0; i < record.size(); ++i) {
        const std::string pair = hex.substr(2 * i, 2);
        if (!std::isxdigit(static_cast<unsigned char>(pair[0])) ||
            !std::isxdigit(static_cast<unsigned char>(pair[1])))
            return false;
        record[i] = static_cast<uint8_t>(std::stoul(pair, nullptr, 16));
    }
    return true;
}

// A (series, chip code, length) that the body's information rule accepts.
struct Candidate {
    uint32_t series;
    uint32_t code;
    uint32_t length;
};

std::vector<Candidate> Candidates(const XdeRule& rule) {
    std::vector<Candidate> list;
    if (!rule.ladder)
        return list;
    for (size_t r = rule.entry; r < rule.ladder->rungs.size(); ++r) {
        const Rung& rung = rule.ladder->rungs[r];
        uint32_t series = 0;
        switch (rule.ladder->series) {
        case SeriesRule::One:
            series = 1;
            break;
        case SeriesRule::Two:
            series = 2;
            break;
        case SeriesRule::ThreeOrFour:
            series = rung.series4Only ? 4 : 3;
            break;
        case SeriesRule::Five:
            series = 5;
            break;
        case SeriesRule::Six:
            series = 6;
            break;
        case SeriesRule::Whole32:
            series = 0;
            break;
        }
        for (const RungEntry& e : rung.entries)
            list.push_back({series, e.code, e.length});
    }
    return list;
}

void PutInfo(int body, const Candidate& c, std::vector<uint8_t>& bytes) {
    if (body >= 26 && body <= 29) {
        bytes[28] = static_cast<uint8_t>(c.code);
        bytes[29] = static_cast<uint8_t>(c.series);
    } else if (body >= 30 && body <= 33) {
        bytes[160] = static_cast<uint8_t>(c.code >> 8);
        bytes[161] = static_cast<uint8_t>(c.code >> 16);
        bytes[162] = static_cast<uint8_t>(c.code >> 24);
        bytes[163] = static_cast<uint8_t>(c.code);
    } else {
        const size_t at = (bytes.size() & ~size_t{1}) - 6;
        bytes[at] = static_cast<uint8_t>(c.series);
        bytes[at + 1] = static_cast<uint8_t>(c.code);
    }
}

void PutWord(std::vector<uint8_t>& bytes, size_t offset, uint16_t word) {
    bytes[offset] = static_cast<uint8_t>(word);
    bytes[offset + 1] = static_cast<uint8_t>(word >> 8);
}

// Satisfies the name-based content rules of the body's list name.
void PutContentRules(const std::string& name, std::vector<uint8_t>& bytes) {
    if (name == " KL500 " && bytes.size() >= 0xB0000) {
        for (size_t offset = 256; offset <= 294; offset += 2)
            bytes[offset] = 0xFF, bytes[offset + 1] |= 0x0F;
        for (size_t offset : {size_t{0xAAAA8}, size_t{0xAFFFE}})
            bytes[offset] = 0x00, bytes[offset + 1] &= 0xF0;
    } else if (name == " KS300 " && bytes.size() >= 224) {
        for (size_t offset = 192; offset <= 222; offset += 2)
            PutWord(bytes, offset, 0xFFFF);
    }
}

} // namespace

std::optional<uint32_t> ParseNumber(const std::string& text) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return std::nullopt;
    try {
        size_t used = 0;
        const unsigned long long value = std::stoull(text, &used, 0);
        if (used != text.size() || value > 0xFFFFFFFFull)
            return std::nullopt;
        return static_cast<uint32_t>(value);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

int Check(int body, const std::string& file, std::ostream& out, std::ostream& err) {
    core::C_Result result;
    C_File image;
    image.SetResultObject(result);
    if (!image.SetFileName(file) || !image.Exists() || !image.GetContents()) {
        err << result.Message() << "\n";
        return 1;
    }
    const char* name = DefaultBodyName(body);
    const Evaluation verdict = EvaluateImageFile(body, name ? name : "", image.ContentsSpan());
    if (!verdict.message.empty())
        (verdict.accepted ? out : err) << verdict.message << "\n";
    return verdict.accepted ? 0 : 1;
}

namespace {

// Whether two names reach one file: the same file through links, another
// spelling of the path, or (for files not there yet) one normalised path.
bool SameFile(const std::string& a, const std::string& b) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (fs::exists(a, error) && fs::exists(b, error))
        return fs::equivalent(a, b, error);
    const fs::path left = fs::weakly_canonical(fs::absolute(a, error), error);
    const fs::path right = fs::weakly_canonical(fs::absolute(b, error), error);
    return left == right;
}

} // namespace

int Convert(const ConvertOptions& o, std::ostream& out, std::ostream& err) {
    // Writing an output over the input (or both outputs into one file)
    // would destroy the image being converted.
    for (const auto& [option, path] : {std::pair{"--chip", &o.chipOut}, {"--word", &o.wordOut}})
        if (SameFile(*path, o.file)) {
            err << option << " " << *path << " is the input file " << o.file
                << "; name another output file.\n";
            return 2;
        }
    if (SameFile(o.chipOut, o.wordOut)) {
        err << "--chip and --word name the same file " << o.chipOut << "; name two output files.\n";
        return 2;
    }
    std::unique_ptr<C_OTPBinFile> image =
        o.body == 0 ? std::make_unique<C_OTPBinFile>() : CreateBodyImage(o.body);
    if (!image) {
        err << "Body index must be 0 to 34.\n";
        return 2;
    }
    InfoRecord record{};
    if (o.recordHex && !ParseRecord(*o.recordHex, record)) {
        err << "The record must be 28 hexadecimal digits.\n";
        return 2;
    }
    core::C_Result result;
    image->SetResultObject(result);
    if (!image->SetFileName(o.file) || !image->Exists() || !image->GetContents()) {
        err << result.Message() << "\n";
        return 1;
    }
    // The window's order after an open: fresh images, the record, the checksum.
    image->FreeImages();
    if (o.recordHex && !image->WriteInfoRecord(record))
        err << "Body " << o.body << " places no information record; none written.\n";
    const uint32_t imageSum = image->ComputeImageCheckSum();
    const uint8_t* chip = image->GetChipImage();
    const uint8_t* word = image->GetWordImage();
    const auto chipSize = static_cast<size_t>(image->GetChipImageSize());
    const auto wordSize = static_cast<size_t>(image->GetWordImageSize());
    if (!chip || !word) {
        err << result.Message() << "\n";
        return 1;
    }
    if (!WriteWhole(o.chipOut, chip, chipSize) || !WriteWhole(o.wordOut, word, wordSize)) {
        err << "Cannot write the output files.\n";
        return 1;
    }
    out << "GetLength=" << image->GetLength() << "\n"
        << "GetCheckSum=" << Hex(image->GetCheckSum()) << "\n"
        << "ComputeImageCheckSum=" << Hex(imageSum) << "\n"
        << "GetUnits=" << image->GetUnits() << "\n"
        << "GetLastUnit=" << image->GetLastUnit() << "\n"
        << "GetWordImageSize=" << wordSize << "\n"
        << "GetChipImageSize=" << chipSize << "\n";
    return 0;
}

int Make(const MakeOptions& o, std::ostream& out, std::ostream& err) {
    const XdeRule* rule = FindXdeRule(o.body);
    const SizeRule* sizes = FindSizeRule(o.body);
    if (!rule || !sizes) {
        err << "Body index must be 1 to 34.\n";
        return 2;
    }
    std::optional<Candidate> pick;
    for (const Candidate& c : Candidates(*rule))
        if ((!o.chip || c.code == *o.chip) && (!o.size || c.length == *o.size)) {
            pick = c;
            break;
        }
    if (!pick && o.chip) {
        err << "Body " << o.body << " takes no chip code 0x" << Hex(*o.chip)
            << (o.size ? " with that size" : "") << ".\n";
        return 1;
    }
    uint32_t length = pick ? pick->length : 0;
    if (o.size)
        length = *o.size;
    else if (!pick)
        length = sizes->lengths.empty() ? sizes->upTo : sizes->lengths.front();
    if (!CheckFileSize(o.body, length)) {
        err << kSizeMismatchMessage << "\n";
        return 1;
    }
    std::mt19937 random(o.seed ? *o.seed : std::random_device{}());
    std::vector<uint8_t> bytes(length);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(random());
    // Without a listed pair the file carries no information at all.
    const Candidate info = pick ? *pick : Candidate{0, 0, 0};
    const bool fits = o.body >= 30 && o.body <= 33   ? length >= 164
                      : o.body >= 26 && o.body <= 29 ? length >= 30
                                                     : length >= 6;
    if (rule->ladder && fits)
        PutInfo(o.body, info, bytes);
    PutContentRules(DefaultBodyName(o.body), bytes);
    const Evaluation verdict = EvaluateImageFile(o.body, DefaultBodyName(o.body), bytes);
    if (!verdict.accepted) {
        err << verdict.message << "\n";
        return 1;
    }
    if (!WriteWhole(o.out, bytes.data(), bytes.size())) {
        err << "Cannot write \"" << o.out << "\".\n";
        return 1;
    }
    out << "length=" << length << "\n"
        << "info=" << Hex(ReadXdeInfo(o.body, bytes)) << "\n";
    if (verdict.warning)
        out << verdict.message << "\n";
    return 0;
}

} // namespace image::tool
