#include "image/ChipBinFiles.h"

namespace image {
namespace {

const BodyLayout& Row(int index) {
    return *FindBodyLayout(index);
}

} // namespace

C_KL500SBinFile::C_KL500SBinFile() : C_OTPBinFile(Row(7)) {}
C_KS300ABinFile::C_KS300ABinFile() : C_KL500SBinFile(Row(9)) {}
C_KT310BinFile::C_KT310BinFile(int index)
    : C_OTPBinFile(Row(index >= 16 && index <= 18 ? index : 16)) {}
C_KT250BinFile::C_KT250BinFile(int index) : C_OTPBinFile(Row(index == 34 ? 34 : 21)) {}
C_KA160BinFile::C_KA160BinFile() : C_OTPBinFile(Row(1)) {}
C_KA150BinFile::C_KA150BinFile() : C_OTPBinFile(Row(2)) {}
C_KA130BinFile::C_KA130BinFile() : C_OTPBinFile(Row(3)) {}
C_KA120BinFile::C_KA120BinFile() : C_OTPBinFile(Row(4)) {}
C_KA110BinFile::C_KA110BinFile() : C_OTPBinFile(Row(5)) {}
C_KA140BinFile::C_KA140BinFile() : C_OTPBinFile(Row(6)) {}
C_KR120BinFile::C_KR120BinFile() : C_OTPBinFile(Row(8)) {}
C_KR140BinFile::C_KR140BinFile() : C_OTPBinFile(Row(10)) {}
C_KR130BinFile::C_KR130BinFile() : C_OTPBinFile(Row(11)) {}
C_KD100BinFile::C_KD100BinFile() : C_OTPBinFile(Row(12)) {}
C_KR110BinFile::C_KR110BinFile() : C_OTPBinFile(Row(13)) {}
C_KT330BinFile::C_KT330BinFile() : C_OTPBinFile(Row(14)) {}
C_KT320BinFile::C_KT320BinFile() : C_OTPBinFile(Row(15)) {}
C_KT700BinFile::C_KT700BinFile() : C_OTPBinFile(Row(19)) {}
C_KT260BinFile::C_KT260BinFile() : C_OTPBinFile(Row(20)) {}
C_KT210BinFile::C_KT210BinFile() : C_OTPBinFile(Row(22)) {}
C_KT230BinFile::C_KT230BinFile() : C_OTPBinFile(Row(23)) {}
C_KT240BinFile::C_KT240BinFile() : C_OTPBinFile(Row(24)) {}
C_KT220BinFile::C_KT220BinFile() : C_OTPBinFile(Row(25)) {}
C_KM140BinFile::C_KM140BinFile() : C_OTPBinFile(Row(26)) {}
C_KM135BinFile::C_KM135BinFile() : C_OTPBinFile(Row(27)) {}
C_KM120BinFile::C_KM120BinFile() : C_OTPBinFile(Row(28)) {}
C_KM110BinFile::C_KM110BinFile() : C_OTPBinFile(Row(29)) {}
C_KW140BinFile::C_KW140BinFile() : C_OTPBinFile(Row(30)) {}
C_KW130PBinFile::C_KW130PBinFile() : C_OTPBinFile(Row(31)) {}
C_KW120BinFile::C_KW120BinFile() : C_OTPBinFile(Row(32)) {}
C_KW110BinFile::C_KW110BinFile() : C_OTPBinFile(Row(33)) {}

std::unique_ptr<C_OTPBinFile> CreateBodyImage(int index) {
    switch (index) {
    case 1:
        return std::make_unique<C_KA160BinFile>();
    case 2:
        return std::make_unique<C_KA150BinFile>();
    case 3:
        return std::make_unique<C_KA130BinFile>();
    case 4:
        return std::make_unique<C_KA120BinFile>();
    case 5:
        return std::make_unique<C_KA110BinFile>();
    case 6:
        return std::make_unique<C_KA140BinFile>();
    case 7:
        return std::make_unique<C_KL500SBinFile>();
    case 8:
        return std::make_unique<C_KR120BinFile>();
    case 9:
        return std::make_unique<C_KS300ABinFile>();
    case 10:
        return std::make_unique<C_KR140BinFile>();
    case 11:
        return std::make_unique<C_KR130BinFile>();
    case 12:
        return std::make_unique<C_KD100BinFile>();
    case 13:
        return std::make_unique<C_KR110BinFile>();
    case 14:
        return std::make_unique<C_KT330BinFile>();
    case 15:
        return std::make_unique<C_KT320BinFile>();
    case 16:
        return std::make_unique<C_KT310BinFile>(16);
    case 17:
        return std::make_unique<C_KT310BinFile>(17);
    case 18:
        return std::make_unique<C_KT310BinFile>(18);
    case 19:
        return std::make_unique<C_KT700BinFile>();
    case 20:
        return std::make_unique<C_KT260BinFile>();
    case 21:
        return std::make_unique<C_KT250BinFile>(21);
    case 22:
        return std::make_unique<C_KT210BinFile>();
    case 23:
        return std::make_unique<C_KT230BinFile>();
    case 24:
        return std::make_unique<C_KT240BinFile>();
    case 25:
        return std::make_unique<C_KT220BinFile>();
    case 26:
        return std::make_unique<C_KM140BinFile>();
    case 27:
        return std::make_unique<C_KM135BinFile>();
    case 28:
        return std::make_unique<C_KM120BinFile>();
    case 29:
        return std::make_unique<C_KM110BinFile>();
    case 30:
        return std::make_unique<C_KW140BinFile>();
    case 31:
        return std::make_unique<C_KW130PBinFile>();
    case 32:
        return std::make_unique<C_KW120BinFile>();
    case 33:
        return std::make_unique<C_KW110BinFile>();
    case 34:
        return std::make_unique<C_KT250BinFile>(34);
    default:
        return nullptr;
    }
}

} // namespace image
