// burnwright-image: image files and chip bodies from the command line.
#include "cli/image_tool/ImageTool.h"

#include <CLI/CLI.hpp>

#include <iostream>

namespace {

// Accepts decimal or 0x-prefixed hexadecimal numbers.
std::optional<uint32_t> Number(const std::string& text, const char* what) {
    if (text.empty())
        return std::nullopt;
    const auto value = image::tool::ParseNumber(text);
    if (!value)
        throw CLI::ValidationError(what, "not a number: " + text);
    return value;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Checks, converts and makes OTP image files for a chip body."};
    app.require_subcommand(1);

    int checkBody = 0;
    std::string checkFile;
    auto* check = app.add_subcommand("check", "Run the acceptance checks of a body on a file");
    check->add_option("--body", checkBody, "Body index 1-34")->required();
    check->add_option("FILE", checkFile, "Image file")->required();

    image::tool::ConvertOptions convert;
    std::string record;
    auto* conv = app.add_subcommand("convert", "Write the chip image and the word image");
    conv->add_option("--body", convert.body, "Body index 0-34 (0: plain OTP image)")->required();
    conv->add_option("FILE", convert.file, "Image file")->required();
    conv->add_option("--record", record, "Information record, 28 hexadecimal digits");
    conv->add_option("--chip", convert.chipOut, "Chip image output")->required();
    conv->add_option("--word", convert.wordOut, "Word image output")->required();

    image::tool::MakeOptions make;
    std::string size, chip, seed;
    auto* mk = app.add_subcommand("make", "Write a file that a body accepts");
    mk->add_option("--body", make.body, "Body index 1-34")->required();
    mk->add_option("--size", size, "File length in bytes");
    mk->add_option("--chip", chip, "Chip code (bodies 30-33: the whole information value)");
    mk->add_option("--seed", seed, "Seed of the random content");
    mk->add_option("OUT", make.out, "Output file")->required();

    CLI11_PARSE(app, argc, argv);
    try {
        if (*check)
            return image::tool::Check(checkBody, checkFile, std::cout, std::cerr);
        if (*conv) {
            if (!record.empty())
                convert.recordHex = record;
            return image::tool::Convert(convert, std::cout, std::cerr);
        }
        make.size = Number(size, "--size");
        make.chip = Number(chip, "--chip");
        make.seed = Number(seed, "--seed");
        return image::tool::Make(make, std::cout, std::cerr);
    } catch (const CLI::Error& e) {
        return app.exit(e);
    }
}
