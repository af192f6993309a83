// tulixlib: the in-process COM server a browser loads to start metasearches and read their
// progress and results without the desktop program. Two classes, Tulix (ITulix) and TulixExp
// (ITulixExp, scriptable, with IObjectWithSite and IObjectSafety), both over the one shared
// state of library_state.h. The objects keep nothing of their own but the browser's site.
//
// Exports (C linkage, the only visible symbols of tulixlib.so):
//     DllGetClassObject, DllCanUnloadNow, DllRegisterServer, DllUnregisterServer
//     TulixComponentVersionValue   "OLESelfRegister" answers, so the desktop program registers it
//     TulixlibConfigureForTests     a clock and fast job pacing, before the first call
//
// Every method returns S_OK unless memory runs out (E_OUTOFMEMORY) or an [out] pointer is null
// (E_POINTER); a search that is not found is told through the value, never the result.
#pragma once

#include "browserlib/com/com_object.h"
#include "browserlib/tulixlib_interfaces.h"

namespace tulix {
class Clock;
}

TULIX_COM_EXPORT tulix::com::HRESULT DllGetClassObject(const tulix::com::CLSID* clsid,
                                                       const tulix::com::IID* iid, void** object);
TULIX_COM_EXPORT tulix::com::HRESULT DllCanUnloadNow();
TULIX_COM_EXPORT tulix::com::HRESULT DllRegisterServer();
TULIX_COM_EXPORT tulix::com::HRESULT DllUnregisterServer();
TULIX_COM_EXPORT const char* TulixComponentVersionValue(const char* name);
// Installs `clock` (null: the system clock) and, with fastPacing non-zero, lets the job manager
// start jobs at once; 0 on success, -1 once the library has started.
TULIX_COM_EXPORT int TulixlibConfigureForTests(const tulix::Clock* clock, int fastPacing);
