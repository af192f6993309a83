// Registering the browser components (the toolbar and tulixlib) and the start-up question that
// offers it.
//
// Both components are shared libraries in the categories folder, named "toolbar.so" and
// "tulixlib.so" or, after updates, with a number from 100 to 199 before the suffix
// ("toolbar105.so"); the highest number is the current one and older files are removed as they
// are met. A component is registered by loading it and calling its export
//     extern "C" int32_t DllRegisterServer(void);    (DllUnregisterServer to unregister)
// which returns 0 on success (an HRESULT). Only a library that answers a value for
// "OLESelfRegister" through TulixComponentVersionValue (platform/dynamic_library.h) is taken to
// register itself; any other is refused.
//
// Only regular files count: a symbolic link, a folder or anything else under a component's
// name is passed over and left alone, so nothing outside the categories folder is ever loaded
// through it.
//
// Thread safety: call on the user-interface thread, with the application object installed.
// Loading a component runs its code in this process; it is trusted as part of the install.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tulix {

// The question asked at the first start (ExplorerIntegration 2), with Yes and No.
inline constexpr char kBrowserToolbarQuestion[] =
    "Do you want Tulix to add a toolbar to Internet Explorer,\n Allowing you to use Tulix in your "
    "Web Browser?";

// Registers (true) or unregisters (false) the toolbar, then tulixlib. A component is taken from
// the categories folder, where an engine update may deliver a newer one, or else from the
// folder the package installed it to (InstalledComponentFolder). A component that is not
// there is logged as "Could not find <name> component"; one that is not a self-registering
// library, does not load, lacks the export or whose export fails is logged as "Could not
// register <path>" (for unregistering too). Either way the next component is still handled.
// True when both were found and their exports succeeded.
bool RegisterBrowserComponents(bool reg);

// Where the package or the build put the components: $TULIX_COMPONENT_DIR when set, the build's
// own library folder for a program run from its build, else lib/tulix (the library folder the
// package uses) beside the program's bin folder. Empty when none can be told.
std::string InstalledComponentFolder();

// The current file of component `name` in `folder` (an internal path), removing the older
// files it supersedes on the way; nullopt when there is none.
std::optional<std::string> LocateBrowserComponent(const std::string& folder,
                                                  const std::string& name);

// Asks the user whether to install the browser toolbar, as start-up does after the engine
// check. By the setting ExplorerIntegration: 2 (not asked yet) asks `askYesNo` the question
// above; Yes stores 1 and registers the components, No stores 0 and unregisters them, and the
// settings are saved. 1 registers the components, as at every start. 0 (or anything else) does
// nothing. `askYesNo` returns true for Yes.
void AskBrowserToolbarQuestion(const std::function<bool(const std::string& question)>& askYesNo);

}  // namespace tulix
