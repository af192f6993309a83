// The host manifests that tell a browser where tulix-bridge is and which extension may start
// it, and the per-user folders the browsers read them from on Linux.
//
// Thread safety: the functions keep no state; they read the environment.
#pragma once

#include <string>
#include <vector>

namespace tulix::bridge {

// The name the extension connects to.
inline constexpr char kHostName[] = "org.tulix.bridge";
// The extension's identities: Chromium derives its id from the public key in the extension's
// manifest, Firefox takes the id the manifest declares.
inline constexpr char kChromiumExtensionId[] = "menhegembadegfegimjannbobfppgbgd";
inline constexpr char kFirefoxExtensionId[] = "bridge@tulix.org";

enum class Browser { kChromium, kFirefox };

// The manifest's JSON text for `browser`, naming `hostPath` (absolute) as the program.
std::string HostManifest(Browser browser, const std::string& hostPath);

// The folder `browser` reads host manifests from. For Chromium: <userDataDir>/NativeMessagingHosts
// when `userDataDir` is given (as Chromium does when started with --user-data-dir), else
// $XDG_CONFIG_HOME/chromium/NativeMessagingHosts, else ~/.config/chromium/NativeMessagingHosts.
// For Firefox: ~/.mozilla/native-messaging-hosts (Firefox reads no other folder per user).
// Empty when no home folder is known.
std::string ManifestFolder(Browser browser, const std::string& userDataDir);

// Writes the manifest of each browser in `browsers` into its folder (created when missing),
// replacing one already there. The paths written, or an error text in `error`.
bool InstallManifests(const std::vector<Browser>& browsers, const std::string& hostPath,
                      const std::string& userDataDir, std::vector<std::string>& written,
                      std::string& error);

}  // namespace tulix::bridge
