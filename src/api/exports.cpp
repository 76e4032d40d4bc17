// The exported functions: thin, they store settings in an engine and call
// one or two of its operations.
#include <algorithm>
#include <vector>

#include "api/engines.h"
#include "api/notify.h"
#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/log.h"
#include "platform/window.h"
#include "protocol/wire.h"
#include "tivlo/tivlo.h"

using tivlo::api::TheClient;
using tivlo::api::TheServer;
namespace protocol = tivlo::protocol;

namespace {

std::u16string CopyString(const char16_t* text) {
    if (text == nullptr) return {};
    return std::u16string(text);
}

}  // namespace

extern "C" {

TIVLO_API int InitServer(TivloWindow window, uint32_t group, uint32_t port, uint32_t iface) {
    auto& server = TheServer();
    server.groupAddress = group != 0 ? group : protocol::kDefaultGroup;
    server.dataPort = port != 0 ? port : protocol::kDefaultDataPort;
    server.SetHost(std::make_shared<tivlo::api::WindowHost>(window));
    if (!server.SetUp(iface)) return 0;
    if (!server.StartAckThread()) return 0;
    if (!server.CollectReceivers()) return 0;
    // Meanwhile the answer thread takes the receivers' Joins into the roster.
    // With a send rate the host waits for the receivers itself (it knows
    // whom it expects, TivloGetReceivers tells who joined).
    if (server.sendRate.load() == 0) tivlo::platform::SleepMs(500);
    return 1;
}

TIVLO_API int SetTargetPath(uint32_t mode, const char16_t* path) {
    return TheServer().StoreTargetPath(mode, CopyString(path));
}

TIVLO_API int SetSubDirTrans(uint32_t flag) {
    TheServer().includeSubdirs = flag;
    return 1;
}

TIVLO_API int SetSelectFiles(const TivloStringArray* paths) {
    std::vector<std::u16string> list;
    if (paths != nullptr && paths->items != nullptr) {
        list.reserve(paths->count);
        for (uint32_t i = 0; i < paths->count; ++i) list.push_back(CopyString(paths->items[i]));
    }
    return TheServer().SetSelectFiles(list);
}

TIVLO_API int GetIsHasInvalidChar(void) { return int(TheServer().invalidNameFlag); }

TIVLO_API int StartSend(void) {
    TheServer().BeginTransfer();
    return 1;
}

TIVLO_API int StopSend(void) {
    TheServer().Stop();
    return 1;
}

TIVLO_API int GetErrInfo(uint32_t* out) { return out == nullptr ? 0 : TheServer().GetErrInfo(out); }

TIVLO_API int DeInitServer(void) {
    TheServer().DeInit();
    return 1;
}

TIVLO_API int TivloSetSendRate(uint32_t kilobitsPerSecond) {
    TheServer().sendRate = kilobitsPerSecond;
    return 1;
}

TIVLO_API int TivloCollect(void) { return TheServer().CollectOnce(); }

TIVLO_API uint32_t TivloGetReceivers(TivloReceiverInfo* out, uint32_t capacity) {
    const auto receivers = TheServer().Receivers();
    for (uint32_t i = 0; out != nullptr && i < receivers.size() && i < capacity; ++i) {
        const auto& r = receivers[i];
        out[i] = TivloReceiverInfo{r.address.addr, r.errorCode,
                                   uint32_t(r.finished || (r.done != 0 && r.missed == 0)), r.missed, r.repaired};
    }
    return uint32_t(receivers.size());
}

TIVLO_API uint32_t TivloGetChangedFile(uint32_t index, char16_t* buffer, uint32_t capacity) {
    const auto names = TheServer().ChangedFiles();
    if (index >= names.size() || buffer == nullptr || names[index].size() + 1 > capacity) return 0;
    std::copy(names[index].begin(), names[index].end(), buffer);
    buffer[names[index].size()] = 0;
    return uint32_t(names[index].size());
}

TIVLO_API int InitClient(TivloWindow window, uint32_t group, uint32_t port, uint32_t iface) {
    auto& client = TheClient();
    client.SetHost(std::make_shared<tivlo::api::WindowHost>(window));
    client.groupAddress = group != 0 ? group : protocol::kDefaultGroup;
    client.dataPort = uint16_t(port != 0 ? port : protocol::kDefaultDataPort);
    return client.Initialize(iface);
}

TIVLO_API int DeInitClient(void) {
    TheClient().CloseAll();
    return 1;
}

TIVLO_API int StartReceive(void) {
    TheClient().StartThreads();
    return 1;
}

TIVLO_API int StopReceive(void) { return 1; }

TIVLO_API int TivloSetAllowedRoots(const TivloStringArray* roots) {
    std::vector<std::u16string> list;
    if (roots != nullptr && roots->count != 0) {
        if (roots->items == nullptr) return 0;
        for (uint32_t i = 0; i < roots->count; ++i) {
            std::u16string item = CopyString(roots->items[i]);
            if (roots->items[i] == nullptr || !tivlo::platform::IsLocalAbsolutePath(item)) return 0;
            list.push_back(std::move(item));
        }
    }
    TheClient().SetAllowedRoots(list);
    return 1;
}

TIVLO_API uint32_t TivloGetUserFolder(uint32_t mode, char16_t* buffer, uint32_t capacity) {
    std::u16string folder;
    if (!TheClient().ResolveSpecialFolder(mode, &folder) || folder.empty()) return 0;
    if (buffer == nullptr || folder.size() + 1 > capacity) return 0;
    std::copy(folder.begin(), folder.end(), buffer);
    buffer[folder.size()] = 0;
    return uint32_t(folder.size());
}

TIVLO_API TivloWindow TivloCreateWindow(TivloWindowProc proc, void* context) {
    return tivlo::platform::CreateHostWindow(proc, context);
}

TIVLO_API int TivloDestroyWindow(TivloWindow window) {
    return tivlo::platform::DestroyHostWindow(window) ? 1 : 0;
}

TIVLO_API void TivloSetLogSink(TivloLogProc proc, void* context) {
    tivlo::platform::SetLogSink(proc, context);
}

}  // extern "C"
