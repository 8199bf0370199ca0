// The image object of every body on arbitrary files, as after a body change
// hands a class a file its size rule never took: byte 0 picks the body, the
// rest is the file.
#include "fuzz/image/FuzzSupport.h"
#include "image/ChipBinFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const int index = data[0] % 35;
    std::unique_ptr<image::C_OTPBinFile> file =
        index == 0 ? std::make_unique<image::C_OTPBinFile>() : image::CreateBodyImage(index);
    core::C_Result result;
    file->SetResultObject(result);
    file->SetFileName(fuzzimage::WriteInput(data + 1, size - 1, ".bin"));
    image::InfoRecord record{};
    for (size_t i = 0; i < record.size() && 1 + i < size; ++i)
        record[i] = data[1 + i];
    file->GetChipImage();
    file->WriteInfoRecord(record);
    file->ComputeImageCheckSum();
    image::InfoBlock block{};
    file->SetInfoBlock(block);
    file->GetXdeInfo();
    file->GetCheckSum();
    file->FreeImages();
    file->GetWordImage();
    file->Close();
    return 0;
}
