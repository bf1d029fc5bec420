#pragma once

// The program runs elevated from a folder the user chose (often Downloads),
// where anyone may have dropped a DLL under a system DLL's name. From here on
// a DLL loaded by name is looked for in System32 only: never beside the
// executable, in the current folder or on PATH.
//
// False when the system lacks the call (Windows 7 without KB2533623) or it
// fails; the search order is then left as it was and nothing is reported.
bool RestrictDllSearchToSystem32();
