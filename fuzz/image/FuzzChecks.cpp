// The acceptance checks on arbitrary files: byte 0 picks the body index, the
// rest is the file.
#include "fuzz/image/FuzzSupport.h"
#include "image/Acceptance.h"
#include "image/BodyTable.h"

#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzimage::Silence();
    if (size == 0)
        return 0;
    const int index = data[0] % 37 - 1; // -1 .. 35
    const std::span<const uint8_t> file(data + 1, size - 1);
    const uint32_t info = image::ReadXdeInfo(index, file);
    image::CheckFileSize(index, static_cast<int64_t>(file.size()));
    image::CheckXdeInfo(info, index, static_cast<int64_t>(file.size()));
    for (const char* name : {" KL500 ", " KS300 ", " KT700 "})
        image::CheckBodySpecific(name, file);
    const char* name = image::DefaultBodyName(index);
    image::EvaluateImageFile(index, name ? name : "", file);
    return 0;
}
