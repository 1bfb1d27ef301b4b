#include "core/host/dvrcore.h"

#include <tinyxml.h>
#include <wx/datetime.h>
#include <wx/dynlib.h>
#include <wx/log.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/host/PluginThread.h"
#include "core/host/StatusDocuments.h"
#include "core/threads/Threads.h"

namespace {

std::atomic<dvrcore*> g_pCore{nullptr};

int64_t ElapsedMs(const wxDateTime& start) {
    return (wxDateTime::UNow() - start).GetMilliseconds().GetValue();
}

}  // namespace

extern "C" int FlatPluginEvent(_EventParmsIn* in, _EventParmsOut* out) {
    dvrcore* core = g_pCore.load();
    if (core) return core->PluginEvent(in, out);
    if (out) out->nResult = KIV_EVENT_STREAM_STOPPED;  // nothing was queued
    return 0;
}

bool compare_watchdogServices(const PLUGININFO& a, const PLUGININFO& b) {
    return a.LoadOut.dwRouteMask[5] > b.LoadOut.dwRouteMask[5];
}

namespace kiv {

void GetFiles(const std::string& directory, const std::string& extension,
              std::vector<std::string>& regularFiles, std::vector<std::string>& markedFiles) {
    namespace fs = boost::filesystem;
    boost::system::error_code ec;
    if (!fs::is_directory(fs::path(directory), ec) || ec) return;
    fs::directory_iterator it(fs::path(directory), ec);
    const fs::directory_iterator end;
    while (!ec && it != end) {
        const fs::path path = it->path();
        boost::system::error_code entryError;
        // status() follows a symbolic link to its target.
        const fs::file_status st = fs::status(path, entryError);
        if (!entryError && fs::is_regular_file(st) && path.extension().string() == extension) {
            if (path.filename().string().find("Qalpi") != std::string::npos)
                markedFiles.push_back(path.string());
            else
                regularFiles.push_back(path.string());
        }
        it.increment(ec);
    }
}

}  // namespace kiv

dvrcore::dvrcore(const wxFileName& executable)
    : pEventTrigger(new kiv::threads::Trigger()),
      pThreads(std::make_shared<kiv::core::ThreadState>()),
      fnExecutable(executable),
      fnClock([] { return static_cast<int32_t>(std::time(nullptr)); }),
      pfnAlloc(&std::malloc) {
    fnHeap = [](uint64_t* bytes) { return kiv::core::ReadHeapBytes(bytes); };
    g_pCore = this;
}

dvrcore::~dvrcore() {
    if (pScheduler || pEventHandler || !GetPlugins().empty()) Stop();
    dvrcore* self = this;
    g_pCore.compare_exchange_strong(self, nullptr);
    DiscardQueue();
    // Buffers that plug-ins kept and never released: with every library
    // unloaded nobody can use them any more. A plug-in left loaded still might.
    if (!bLibraryLeftLoaded) {
        for (char* buffer : RefCounter.TakeAll()) FreeBuffer(buffer);
    }
    delete pEventTrigger;
}

bool dvrcore::Start() {
    {
        std::lock_guard<std::mutex> lock(mtxRegistry);
        vecPlugins.clear();
        bClosing = false;
    }
    LoadPlugins();
    InitPlugins();
    InitEventHandler();
    InitScheduler();
    return true;
}

void dvrcore::Stop() {
    CleanupScheduler();
    CleanupEventHandler();
    // Queued events are never delivered now; discarding them at once also wakes
    // reader threads that wait for one of their buffers to be freed.
    DiscardQueue();
    CleanupPlugins();
    UnloadPlugins();
    {
        std::lock_guard<std::mutex> lock(mtxRegistry);
        vecPlugins.clear();
    }
    DiscardQueue();
}

std::vector<PLUGININFO> dvrcore::GetPlugins() const {
    std::lock_guard<std::mutex> lock(mtxRegistry);
    return vecPlugins;
}

wxString dvrcore::StatusPath(const char* name) const {
    wxFileName fn(fnExecutable.GetPath(), name);
    return fn.GetFullPath();
}

bool dvrcore::LoadPlugins() {
    namespace fs = boost::filesystem;
    const std::string dir(fnExecutable.GetPath().fn_str());
    std::vector<std::string> regularFiles, markedFiles;
    kiv::GetFiles((fs::path(dir) / "plugins").string(), ".so", regularFiles, markedFiles);
    kiv::GetFiles((fs::path(dir) / "protected-plugins").string(), ".so", regularFiles, markedFiles);
    std::sort(regularFiles.begin(), regularFiles.end(),
              [](const std::string& a, const std::string& b) { return fs::path(a) < fs::path(b); });
    std::vector<std::string> order = markedFiles;
    order.insert(order.end(), regularFiles.begin(), regularFiles.end());

    // The core's own identifier counts as loaded: a plug-in using it would mix
    // its buffer references up with the core's.
    std::set<uint32_t> ids{KIV_ID_CORE};
    for (const std::string& path : order) {
        const wxString filename(fs::path(path).filename().string().c_str(), wxConvFile);
        wxDynamicLibrary* library = new wxDynamicLibrary();
        bool opened;
        {
            wxLogNull quiet;  // the failure is reported through the log event below
            opened = library->Load(wxString(path.c_str(), wxConvFile), wxDL_NOW | wxDL_VERBATIM);
        }
        if (!opened) {
            delete library;
            Log(wxString::Format("Failed to load plugin: %s (missing dependency)", filename));
            vecNotLoaded.push_back(filename);
            continue;
        }
        PLUGININFO info;
        {
            wxLogNull quiet;  // a missing export is not an error
            auto resolve = [library](const char* name) -> void* {
                return library->HasSymbol(name) ? library->GetSymbol(name) : nullptr;
            };
            info.pfnLoad = reinterpret_cast<PFN_LOAD>(resolve(KIV_EXPORT_LOAD));
            info.pfnUnload = reinterpret_cast<PFN_UNLOAD>(resolve(KIV_EXPORT_UNLOAD));
            info.pfnOpen = reinterpret_cast<PFN_OPEN>(resolve(KIV_EXPORT_OPEN));
            info.pfnClose = reinterpret_cast<PFN_CLOSE>(resolve(KIV_EXPORT_CLOSE));
            info.pfnRead = reinterpret_cast<PFN_READ>(resolve(KIV_EXPORT_READ));
            info.pfnWrite = reinterpret_cast<PFN_WRITE>(resolve(KIV_EXPORT_WRITE));
            info.pfnSeek = reinterpret_cast<PFN_SEEK>(resolve(KIV_EXPORT_SEEK));
            info.pfnIOCTL = reinterpret_cast<PFN_IOCTL>(resolve(KIV_EXPORT_IOCTL));
        }
        if (!info.pfnLoad) {
            delete library;  // unloads it
            continue;
        }
        _LoadParmsIn in;
        std::memset(&in, 0, sizeof(in));
        in.cbSize = sizeof(in);
        in.dwVersion = KIV_LOADPARMSIN_VERSION;
        in.pCore = this;
        in.pfnEvent = &FlatPluginEvent;
        _LoadParmsOut out;
        std::memset(&out, 0, sizeof(out));
        out.cbSize = sizeof(out);
        out.dwVersion = KIV_PARMS_VERSION;
        const wxDateTime start = wxDateTime::UNow();
        const int rc = info.pfnLoad(&in, &out);
        info.llLoadTime = ElapsedMs(start);
        if (rc != 0 || out.dwError != 0) {
            wxLogError("plugin %s load returned %d error %d", filename, rc,
                       static_cast<int>(out.dwError));
            delete library;
            continue;
        }
        if (ids.count(out.dwPluginID)) {
            wxLogWarning("plugin %s ID 0x%08lX already loaded", filename,
                         static_cast<unsigned long>(out.dwPluginID));
            delete library;
            continue;
        }
        ids.insert(out.dwPluginID);
        info.pLibrary = library;
        info.LoadOut = out;
        info.strFilename = filename;
        if (out.bWorkerThread) ProvideWorkerThread(info);
        std::lock_guard<std::mutex> lock(mtxRegistry);
        if (out.dwPluginID == KIV_ID_FIRST_IN_REGISTRY)
            vecPlugins.insert(vecPlugins.begin(), info);
        else
            vecPlugins.push_back(info);
    }
    std::lock_guard<std::mutex> lock(mtxRegistry);
    return !vecPlugins.empty();
}

bool dvrcore::InitPlugins() {
    // Only this thread changes the registry now, so indexes stay valid between locks.
    size_t count;
    {
        std::lock_guard<std::mutex> lock(mtxRegistry);
        count = vecPlugins.size();
    }
    for (size_t i = 0; i < count; ++i) {
        PFN_OPEN pfnOpen;
        {
            std::lock_guard<std::mutex> lock(mtxRegistry);
            if (!vecPlugins[i].pLibrary) continue;
            pfnOpen = vecPlugins[i].pfnOpen;
        }
        if (!pfnOpen) continue;
        _OpenParmsIn in;
        std::memset(&in, 0, sizeof(in));
        in.cbSize = sizeof(in);
        in.dwVersion = KIV_PARMS_VERSION;
        _OpenParmsOut out;
        std::memset(&out, 0, sizeof(out));
        out.cbSize = sizeof(out);
        out.dwVersion = KIV_PARMS_VERSION;
        const wxDateTime start = wxDateTime::UNow();
        const int rc = pfnOpen(&in, &out);
        const int64_t elapsed = ElapsedMs(start);
        std::lock_guard<std::mutex> lock(mtxRegistry);
        vecPlugins[i].llOpenTime = elapsed;
        vecPlugins[i].nOpenCode = rc;
    }
    SavePluginsXml();
    return true;
}

void dvrcore::SavePluginsXml() {
    std::vector<kiv::core::PluginStatus> plugins;
    for (const PLUGININFO& p : GetPlugins()) {
        if (!p.pLibrary) continue;
        plugins.push_back({p.LoadOut.dwPluginID, std::string(p.strFilename.utf8_str()), p.nOpenCode,
                           p.llLoadTime, p.llOpenTime});
    }
    std::vector<std::string> notLoaded;
    for (const wxString& name : vecNotLoaded) notLoaded.push_back(std::string(name.utf8_str()));
    TiXmlDocument doc;
    kiv::core::BuildPluginsDocument(doc, std::string(fnExecutable.GetFullName().utf8_str()),
                                    plugins, notLoaded);
    doc.SaveFile(std::string(StatusPath("plugins.xml").fn_str()));  // a failure is ignored
    BroadcastXML(doc, KIV_FLAG_BROADCAST);
}

bool dvrcore::CleanupPlugins() {
    {
        std::lock_guard<std::mutex> lock(mtxRegistry);
        bClosing = true;  // stream requests start no more readers
        std::stable_sort(vecPlugins.begin(), vecPlugins.end(), compare_watchdogServices);
    }
    // Only this thread changes the registry now.
    for (PLUGININFO& p : vecPlugins) {
        if (!p.pLibrary) continue;
        p.pReaderThread = nullptr;
        p.pWriterThread = nullptr;
        if (!p.pfnClose) continue;
        _CloseParmsIn in;
        std::memset(&in, 0, sizeof(in));
        in.cbSize = sizeof(in);
        in.dwVersion = KIV_PARMS_VERSION;
        _CloseParmsOut out;
        std::memset(&out, 0, sizeof(out));
        out.cbSize = sizeof(out);
        out.dwVersion = KIV_PARMS_VERSION;
        p.pfnClose(&in, &out);
    }
    return true;
}

bool dvrcore::WaitForPluginThreads(uint32_t id) {
    std::unique_lock<std::mutex> lock(pThreads->mtxRunning);
    return pThreads->cvRunning.wait_for(lock, std::chrono::milliseconds(nThreadWaitMs), [&] {
        return pThreads->mapRunning.find(id) == pThreads->mapRunning.end();
    });
}

bool dvrcore::UnloadPlugins() {
    for (PLUGININFO& p : vecPlugins) {
        if (!p.pLibrary) continue;
        p.pWorkerThread = nullptr;
        // A thread lent to the plug-in may still run in its code: unloading the
        // library under it would crash the process.
        if (!WaitForPluginThreads(p.LoadOut.dwPluginID)) {
            wxLogWarning("plugin %s still runs a thread after close, not unloading it",
                         p.strFilename);
            p.pLibrary->Detach();  // keep the code mapped
            bLibraryLeftLoaded = true;
            delete p.pLibrary;
            p.pLibrary = nullptr;
            continue;
        }
        if (p.pfnUnload) {
            _UnloadParmsIn in;
            std::memset(&in, 0, sizeof(in));
            in.cbSize = sizeof(in);
            in.dwVersion = KIV_PARMS_VERSION;
            _UnloadParmsOut out;
            std::memset(&out, 0, sizeof(out));
            out.cbSize = sizeof(out);
            out.dwVersion = KIV_PARMS_VERSION;
            p.pfnUnload(&in, &out);
        }
        delete p.pLibrary;  // unloads it
        p.pLibrary = nullptr;
    }
    std::lock_guard<std::mutex> lock(mtxRegistry);
    vecPlugins.clear();
    return true;
}

PluginThread* dvrcore::StartPluginThread(const PLUGININFO& p, void (*entry)(), const void* in,
                                         const void* out) {
    PluginThread* t = PluginThread::Create(this, pThreads, p.LoadOut.dwPluginID, entry,
                                           static_cast<const _PIParmsIn*>(in),
                                           static_cast<const _PIParmsOut*>(out));
    if (!t) {
        wxLogError("plugin %s: no memory for a thread's data", p.strFilename);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(pThreads->mtxRunning);
        ++pThreads->mapRunning[p.LoadOut.dwPluginID];
    }
    t->start();
    return t;
}

bool dvrcore::ProvideWorkerThread(PLUGININFO& p) {
    if (!p.pfnIOCTL) return false;
    _PIParmsIn in;
    std::memset(&in, 0, sizeof(in));
    in.cbSize = sizeof(in);
    in.dwVersion = KIV_PARMS_VERSION;
    in.dwCall = PI_CALL_IOCTL;
    in.IOCTL.cbSize = sizeof(_IOCTLParmsIn);
    in.IOCTL.dwVersion = KIV_PARMS_VERSION;
    in.IOCTL.dwCode = KIV_IOCTL_WORKER;
    in.IOCTL.cbArgs = 8;
    in.IOCTL.dwArgsVersion = 1;
    _PIParmsOut out;
    std::memset(&out, 0, sizeof(out));
    out.cbSize = sizeof(out);
    out.dwVersion = KIV_PARMS_VERSION;
    out.dwCall = PI_CALL_IOCTL;
    out.IOCTL.cbSize = sizeof(_IOCTLParmsOut);
    out.IOCTL.dwVersion = KIV_PARMS_VERSION;
    out.IOCTL.dwCode = KIV_IOCTL_WORKER;
    out.IOCTL.cbArgs = 8;
    out.IOCTL.dwArgsVersion = 1;
    p.pWorkerThread =
        StartPluginThread(p, reinterpret_cast<PluginThread::Entry>(p.pfnIOCTL), &in, &out);
    return true;
}

namespace {

// A Read call envelope pair for the request (null data and stream 0 when none).
void MakeReadCall(_PIParmsIn& in, _PIParmsOut& out, uint32_t cbData, void* pData,
                  uint32_t dwStream) {
    std::memset(&in, 0, sizeof(in));
    in.cbSize = sizeof(in);
    in.dwVersion = KIV_PARMS_VERSION;
    in.dwCall = PI_CALL_READ;
    in.Read.cbSize = sizeof(_ReadParmsIn);
    in.Read.dwVersion = KIV_PARMS_VERSION;
    in.Read.bAsync = 1;
    in.Read.cbData = pData ? cbData : 0;
    in.Read.pData = pData;
    in.Read.dwStream = dwStream;
    std::memset(&out, 0, sizeof(out));
    out.cbSize = sizeof(out);
    out.dwVersion = KIV_PARMS_VERSION;
    out.dwCall = PI_CALL_READ;
    out.Read.cbSize = sizeof(_ReadParmsOut);
    out.Read.dwVersion = KIV_PARMS_VERSION;
}

}  // namespace

bool dvrcore::StartAsyncReader(PLUGININFO& p) {
    if (!p.pfnRead) return false;
    _PIParmsIn in;
    _PIParmsOut out;
    MakeReadCall(in, out, 0, nullptr, 0);
    p.pReaderThread =
        StartPluginThread(p, reinterpret_cast<PluginThread::Entry>(p.pfnRead), &in, &out);
    return true;
}

void dvrcore::StartStreamReaders(const _EventParmsIn& request) {
    std::lock_guard<std::mutex> lock(mtxRegistry);
    if (bClosing) return;
    for (const PLUGININFO& p : vecPlugins) {
        if (!p.pLibrary || !p.LoadOut.bReader || !p.pfnRead) continue;
        if (!kiv::core::MatchesReadKey(request.dwFlags, request.dwType, p.LoadOut)) continue;
        _PIParmsIn in;
        _PIParmsOut out;
        MakeReadCall(in, out, request.cbData, request.pData, request.dwStream);
        StartPluginThread(p, reinterpret_cast<PluginThread::Entry>(p.pfnRead), &in, &out);
    }
}
