#pragma once

// The product this updater serves, as it is installed and shipped: its names in
// one place. Paths are relative to the folder of the main program.
#define FARWEN_PRODUCT_SERVER_DIR "KarvoDeskServer"

namespace product {

constexpr char kName[] = "KarvoDesk";
constexpr char kMainProgram[] = "Pellamo.exe";
constexpr char kServerDir[] = FARWEN_PRODUCT_SERVER_DIR;
constexpr char kServerImage[] = "KarvoDeskServer.exe";
constexpr char kDaemonImage[] = "KarvoDeskDaemon.exe";
constexpr char kDaemonPath[] = FARWEN_PRODUCT_SERVER_DIR "/KarvoDeskDaemon.exe";
// The work folders: under the data root, and an older updater's in the temporary folder.
constexpr char kWorkDirPrefix[] = "KarvoUpdate_";
constexpr char kOldTempDirPrefix[] = "TeskUpdate_";

} // namespace product
