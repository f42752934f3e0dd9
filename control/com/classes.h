// The creatable classes of the control library and what registration
// records for each.
#pragma once

#include <windows.h>

namespace kelbcom {

struct control_class {
    const CLSID* clsid;
    const wchar_t* prog_id;     // library name, a point, the class name
    DWORD misc_status;          // OLEMISC_* flags for containers
    int toolbox_bitmap;         // resource id of its 16 x 15 picture
    HRESULT (*create)(REFIID iid, void** out);
};

HRESULT create_kelbzip2(REFIID iid, void** out);
HRESULT create_progbar(REFIID iid, void** out);

extern const control_class classes[2];

}  // namespace kelbcom
