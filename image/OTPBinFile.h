// An OTP image file: the file as the development environment wrote it, plus
// the two layouts derived from it - the chip image (the bytes the writer
// stores) and the word image (the chip image in groups, each followed by a
// check byte) - the image checksum, the information record and the side files.
//
// C_OTPBinFile itself lays out the plain OTP image (six-bit packing, groups of
// three, window 64-96, record offset 192). The per-chip classes (ChipBinFiles.h)
// are C_OTPBinFiles built on their body's row of the body table; create them
// by body index with CreateBodyImage.
//
// Buffers are built on first use and cached: contents on GetContents, the
// chip image on GetChipImage (from the contents), the word image on
// GetWordImage (from the chip image). FreeImages drops both images but keeps
// their memory for the next build, so a rebuild does not pay for fresh pages;
// Close also drops the contents and the path and releases that memory.
// Buffers returned stay valid until the next FreeImages, Close, SetFileName
// that changes the file, or destruction. Not thread-safe: one user at a time.
#pragma once

#include "image/BodyTable.h"
#include "image/File.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace image {

// The 14-byte information record r0 .. r13 that is stamped into every image.
using InfoRecord = std::array<uint8_t, 14>;
// The 32-byte information block of SetInfoBlock: eight groups of three data
// bytes and a check byte.
using InfoBlock = std::array<uint8_t, 32>;

class C_OTPBinFile : public C_BinFile {
public:
    C_OTPBinFile();
    ~C_OTPBinFile() override;

    // The byte sum of the file, low 16 bits.
    uint32_t GetCheckSum() override;
    // Also drops both images. The result object stays where it was pointed.
    int Close() override;
    // Does nothing for OTP images; returns 1.
    int ResetResult() override { return 1; }

    // The word image (built on first use); null when the file cannot be read.
    virtual const uint8_t* GetWordImage();
    // Byte sum of the word image, with the bytes of the window
    // [windowStart, windowEnd) counted as 0xFF whatever they hold; recomputed
    // on every call. Only the part of the window inside the image counts.
    virtual uint32_t ComputeImageCheckSum();
    // Bytes of the word image: the file length for the plain layout, the built
    // size for the per-chip layouts (0 when the file cannot be read).
    virtual int GetWordImageSize();
    // The chip image (built on first use); null when the file cannot be read
    // or is empty.
    virtual const uint8_t* GetChipImage();
    // Bytes of the chip image: 3 x GetUnits for the four-byte families, GetUnits otherwise.
    virtual int GetChipImageSize();
    // Chip-image units: file words (length / 4) for the plain layout and bodies
    // 2-5, length / 4 x 3 bytes for bodies 1 and 6, the body's fixed byte count
    // for all others.
    virtual int GetUnits();
    // Writes the 32-byte block at windowStart of the word image and its data
    // bytes (three per group) at infoOffset of the chip image, unless the word
    // image holds it already. Returns true when it was already there; false
    // after writing it, or when the images cannot hold it.
    virtual bool SetInfoBlock(const InfoBlock& block);
    virtual int IsInfoDirty() { return infoDirty_; }
    virtual void ClearInfoDirty() { infoDirty_ = 0; }
    // GetUnits - 1: the writer engine's end address.
    virtual int GetLastUnit() { return GetUnits() - 1; }
    // Writes "<image>.Flash.bin" (word image) and "<image>.OTP.bin" (chip
    // image) beside the image, and "<image>.Buffer.bin" (the file contents)
    // when withContents is non-zero. Returns 0 after reporting a failure.
    virtual int SaveSideFiles(int withContents);
    virtual void FreeImages();
    // Places the information record the body's way and sets the information
    // dirty flag. Does nothing (returns 0) for bodies without a record, when
    // the image's size is 0, or when the image cannot be built; returns 1
    // when the record was placed. Nothing is written outside the buffers.
    virtual int WriteInfoRecord(const InfoRecord& record);

    // Whether the body has a record operation (bodies 7 and 9-34).
    bool HasInfoRecord() const { return layout_->record != RecordPlacement::None; }
    const BodyLayout& Layout() const { return *layout_; }
    // The body index of the layout; 0 for the plain OTP image.
    int BodyIndex() const { return layout_->index; }
    int WindowStart() const { return static_cast<int>(layout_->windowStart); }
    int WindowEnd() const { return static_cast<int>(layout_->windowEnd); }
    int InfoOffset() const { return static_cast<int>(layout_->infoOffset); }
    // The development environment's information value of the file, read where
    // this body keeps it; 0 when the file carries none or cannot be read.
    uint32_t GetXdeInfo();

protected:
    explicit C_OTPBinFile(const BodyLayout& layout);

    // Images for writing the record into (built when needed); empty when the
    // file cannot be read.
    std::span<uint8_t> ChipImageForWriting();
    std::span<uint8_t> WordImageForWriting();

private:
    void BuildChipImage(std::span<const uint8_t> file, std::span<uint8_t> chip) const;
    bool PadsLastGroup() const { return layout_->family == Family::SixBitSwapped; }
    // Memory for a buffer of `size` bytes: `spare` when it is large enough,
    // else a new uninitialised block (the layouts write every byte).
    static std::unique_ptr<uint8_t[]> TakeBuffer(std::unique_ptr<uint8_t[]>& spare,
                                                 size_t& spareSize, size_t size);

    const BodyLayout* layout_;
    std::unique_ptr<uint8_t[]> wordImage_;
    size_t wordImageSize_ = 0;
    uint32_t imageCheckSum_ = 0;
    std::unique_ptr<uint8_t[]> chipImage_;
    size_t chipImageSize_ = 0;
    // Buffers of dropped images, kept for the next build.
    std::unique_ptr<uint8_t[]> spareWord_, spareChip_;
    size_t spareWordSize_ = 0, spareChipSize_ = 0;
    int infoDirty_ = 1;
};

} // namespace image
