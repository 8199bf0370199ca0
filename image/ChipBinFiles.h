// The per-chip image classes, one per chip body. Each is a C_OTPBinFile laid
// out by its body's row of the body table (BodyTable.h): layout family, units,
// word-image groups, checksum window, record offset and record placement.
//
// The writer engine owns one image object and uses it only through
// C_OTPBinFile. At start-up it is a plain std::make_unique<C_OTPBinFile>().
// Selecting body `index`: keep the old object's GetFileName, destroy it, take
// CreateBodyImage(index) (null for 0: no object), and hand the new object the
// old path with SetFileName when the path is not empty.
//   SetFileName / GetFileName          the image file (read lazily, whole)
//   GetWordImage / GetWordImageSize   the bytes loaded into the writer buffer:
//                                      the chip image with a check byte per group
//   ComputeImageCheckSum               the 32-bit image checksum (window as 0xFF)
//   GetLastUnit (GetUnits - 1)         the end address for the OTP commands
//   GetChipImage / GetChipImageSize   the chip image itself
//   WriteInfoRecord(record)            places the 14-byte information record;
//                                      HasInfoRecord says whether the body has one
// After opening a file the window calls FreeImages, then WriteInfoRecord, then
// ComputeImageCheckSum; the acceptance checks are in Acceptance.h.
#pragma once

#include "image/OTPBinFile.h"

#include <memory>

namespace image {

// The image object of body `index` (1 to 34): the class the body table names
// for it. Null for 0 and any index above 34 (no body, no image object).
std::unique_ptr<C_OTPBinFile> CreateBodyImage(int index);

// Body 7: nibble merge; the base of the body-9 class.
class C_KL500SBinFile : public C_OTPBinFile {
public:
    C_KL500SBinFile();

protected:
    explicit C_KL500SBinFile(const BodyLayout& layout) : C_OTPBinFile(layout) {}
};

// Body 9: the file's two halves interleaved byte by byte.
class C_KS300ABinFile : public C_KL500SBinFile {
public:
    C_KS300ABinFile();
};

// Bodies 16, 17 and 18: ten-bit words, then bits 10-11 packed.
class C_KT310BinFile : public C_OTPBinFile {
public:
    // `index` is 16, 17 or 18 (anything else takes 16); the layout is the same.
    explicit C_KT310BinFile(int index = 16);
};

// Bodies 21 and 34: twelve-bit split planes.
class C_KT250BinFile : public C_OTPBinFile {
public:
    // `index` is 21 or 34 (anything else takes 21); the layout is the same.
    explicit C_KT250BinFile(int index = 21);
};

// Body 1: six-bit packing with the middle byte's halves swapped.
class C_KA160BinFile : public C_OTPBinFile {
public:
    C_KA160BinFile();
};

// Body 2: six-bit packing.
class C_KA150BinFile : public C_OTPBinFile {
public:
    C_KA150BinFile();
};

// Body 3: six-bit packing.
class C_KA130BinFile : public C_OTPBinFile {
public:
    C_KA130BinFile();
};

// Body 4: seven-bit packing.
class C_KA120BinFile : public C_OTPBinFile {
public:
    C_KA120BinFile();
};

// Body 5: six-bit packing.
class C_KA110BinFile : public C_OTPBinFile {
public:
    C_KA110BinFile();
};

// Body 6: six-bit packing with the middle byte's halves swapped.
class C_KA140BinFile : public C_OTPBinFile {
public:
    C_KA140BinFile();
};

// Body 8: ten-bit values, planes halved and interleaved.
class C_KR120BinFile : public C_OTPBinFile {
public:
    C_KR120BinFile();
};

// Body 10: ten-bit values, planes quartered and interleaved.
class C_KR140BinFile : public C_OTPBinFile {
public:
    C_KR140BinFile();
};

// Body 11: ten-bit values, low plane then packed top bits.
class C_KR130BinFile : public C_OTPBinFile {
public:
    C_KR130BinFile();
};

// Body 12: plain copy; its record operation writes nothing.
class C_KD100BinFile : public C_OTPBinFile {
public:
    C_KD100BinFile();
};

// Body 13: ten-bit values as top-bits/low-byte pairs.
class C_KR110BinFile : public C_OTPBinFile {
public:
    C_KR110BinFile();
};

// Body 14: twelve-bit words, halves on even and odd bytes.
class C_KT330BinFile : public C_OTPBinFile {
public:
    C_KT330BinFile();
};

// Body 15: twelve-bit words, paired regions; record in the file contents.
class C_KT320BinFile : public C_OTPBinFile {
public:
    C_KT320BinFile();
};

// Body 19: twelve-bit split planes.
class C_KT700BinFile : public C_OTPBinFile {
public:
    C_KT700BinFile();
};

// Body 20: twelve-bit split planes, last 4 KB zero.
class C_KT260BinFile : public C_OTPBinFile {
public:
    C_KT260BinFile();
};

// Body 22: twelve-bit split planes.
class C_KT210BinFile : public C_OTPBinFile {
public:
    C_KT210BinFile();
};

// Body 23: twelve-bit split planes.
class C_KT230BinFile : public C_OTPBinFile {
public:
    C_KT230BinFile();
};

// Body 24: twelve-bit split planes.
class C_KT240BinFile : public C_OTPBinFile {
public:
    C_KT240BinFile();
};

// Body 25: twelve-bit split planes.
class C_KT220BinFile : public C_OTPBinFile {
public:
    C_KT220BinFile();
};

// Body 26: plain copy.
class C_KM140BinFile : public C_OTPBinFile {
public:
    C_KM140BinFile();
};

// Body 27: plain copy.
class C_KM135BinFile : public C_OTPBinFile {
public:
    C_KM135BinFile();
};

// Body 28: plain copy.
class C_KM120BinFile : public C_OTPBinFile {
public:
    C_KM120BinFile();
};

// Body 29: plain copy.
class C_KM110BinFile : public C_OTPBinFile {
public:
    C_KM110BinFile();
};

// Body 30: plain copy.
class C_KW140BinFile : public C_OTPBinFile {
public:
    C_KW140BinFile();
};

// Body 31: plain copy.
class C_KW130PBinFile : public C_OTPBinFile {
public:
    C_KW130PBinFile();
};

// Body 32: plain copy.
class C_KW120BinFile : public C_OTPBinFile {
public:
    C_KW120BinFile();
};

// Body 33: plain copy.
class C_KW110BinFile : public C_OTPBinFile {
public:
    C_KW110BinFile();
};

} // namespace image
