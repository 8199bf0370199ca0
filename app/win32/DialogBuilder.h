// Dialog templates from the tables of app/DialogTemplates.cpp, built in memory
// in the platform's DLGTEMPLATE form, so the Windows program shows exactly the
// layout every other host shows, from one source.
#pragma once

#include "app/DialogTemplate.h"

#include <windows.h>

#include <vector>

namespace app::win32 {

// A dialog template ready for DialogBoxIndirectParam and
// CreateDialogIndirectParam; the vector keeps it DWORD-aligned.
class DialogResource {
public:
    explicit DialogResource(const DialogTemplate& dialog);
    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

private:
    void Word(WORD w) { words_.push_back(w); }
    void Text(const char* text);
    void AlignDword();

    std::vector<WORD> words_;
};

// The window style of one control of a template.
DWORD ControlStyle(const ControlTemplate& control);

} // namespace app::win32
