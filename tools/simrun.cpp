// Runs the driver against a simulated RUXA-Imager and reports what happens:
// load, device add, the published interface, an open and close, removal and
// unload, with the verifier's findings at the end.
#include <cstdio>
#include <string>

#include "ruxaimg.h"
#include "sim/host.h"
#include "sim/imager.h"
#include "sim/sim.h"

static std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

int main()
{
    sim::Reset();
    int failures = 0;
    {
        sim::Host host(DriverEntry);
        host.SetParameter(L"MaximumTransferSize", ULONG{0});
        NTSTATUS status = host.Load();
        std::printf("driver load: %#010x\n", static_cast<unsigned>(status));
        if (!NT_SUCCESS(status)) {
            return 1;
        }
        sim::DeviceNode& node = host.PlugIn(std::make_shared<sim::ImagerDevice>());
        std::printf("device add: %#010x, started: %s\n", static_cast<unsigned>(node.addStatus),
                    node.started ? "yes" : "no");
        if (node.device != nullptr) {
            std::printf("MaximumTransferSize: %#x\n", GetDeviceContext(node.device)->MaximumTransferSize);
        }
        for (const std::wstring& path : host.InterfacePaths(GUID_DEVINTERFACE_RUXAIMG)) {
            std::printf("interface: %s\n", Narrow(path).c_str());
            sim::Host::FileHandle handle;
            status = host.Open(path, &handle);
            std::printf("open: %#010x\n", static_cast<unsigned>(status));
            if (NT_SUCCESS(status)) {
                auto read = host.Read(handle, 512);
                std::printf("read request: %#010x (the driver takes control requests only)\n",
                            static_cast<unsigned>(read->Status()));
                host.Close(handle);
                std::printf("closed: %s\n", host.Closed(handle) ? "yes" : "no");
            }
        }
        host.Unplug(node);
        host.Unload();
        std::printf("unplugged and unloaded\n");
    }
    for (const std::string& finding : sim::Verifier::Take()) {
        std::printf("verifier: %s\n", finding.c_str());
        failures++;
    }
    std::printf("verifier findings: %d\n", failures);
    return failures == 0 ? 0 : 1;
}
