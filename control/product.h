// Texts that name the control library and its maker.
#pragma once

namespace kelb {

// The library's application title: ControlName, message-box captions, About.
constexpr char16_t control_title[] = u"Tessel OCX 2.0.1";
// Where the bridge's load errors send the user.
constexpr char16_t maker_contact[] = u"support@tessel.example";

constexpr char16_t about_text[] =
    u"Tessel OCX 2.0.1 is an ActiveX control that compresses files in the Bzip2 format and in "
    u"the Bzip3 format. A Bzip3 file may hold up to 2^63 bytes, carries the MD5 digest of its "
    u"contents as an integrity check and keeps the attributes and times of the original file. A "
    u"compression can be paused, resumed and cancelled. The compression code is loaded at run "
    u"time into the process that loads the control.\r\n";

}  // namespace kelb
