// The body catalogue on arbitrary profile files.
#include "fuzz/image/FuzzSupport.h"
#include "image/OTPBodyProfiler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzimage::Silence();
    image::SetProfileReasonSink([](const std::string&) {});
    const image::C_OTPBodyProfiler catalogue(fuzzimage::WriteInput(data, size, ".xml"));
    for (int index = -1; index <= catalogue.GetCount() && index < 40; ++index)
        catalogue.GetComboName(index);
    image::C_OTPBodyProfiler current(fuzzimage::WriteInput(data, size, ".xml"));
    for (const auto& [index, body] : catalogue.Bodies()) {
        current.SetCurrentIndex(index);
        current.GetOTPBinSize();
        current.GetBodySeries();
    }
    return 0;
}
