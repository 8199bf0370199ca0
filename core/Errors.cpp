#include "core/Errors.h"

#include "core/MessageHost.h"

namespace core {

int C_BasicError::ShowMessage() {
    return ShowMessageBox(GetCodes().GetMessage(), "Error", kMbOk | kMbIconError);
}

const char* C_BasicError::what() const noexcept {
    // GetMessage fills a missing text from the table, which changes the
    // record; what() is const, so work on the shared record directly.
    auto* self = const_cast<C_BasicError*>(this);
    whatText_ = self->GetCodes().GetMessage();
    return whatText_.c_str();
}

} // namespace core
