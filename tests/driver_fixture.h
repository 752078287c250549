// A plugged-in RUXA-Imager under the real driver, with the verifier's silence
// checked at the end of every test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ruxaimg.h"
#include "sim/host.h"
#include "sim/imager.h"
#include "sim/sim.h"

inline std::string JoinFindings(const std::vector<std::string>& findings)
{
    std::string text;
    for (const auto& finding : findings) {
        text += "\n  verifier: " + finding;
    }
    return text;
}

// True when some finding contains the text; the findings are consumed.
inline bool TakeFinding(const std::string& text)
{
    bool found = false;
    for (const auto& finding : sim::Verifier::Take()) {
        found = found || finding.find(text) != std::string::npos;
    }
    return found;
}

// The entry point of a small driver of a test's own: it creates the
// framework driver with the given device-add callback and nothing else.
template <PFN_WDF_DRIVER_DEVICE_ADD DeviceAdd>
NTSTATUS TestDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::Reset();
        host = std::make_unique<sim::Host>(DriverEntry);
        host->SetParameter(L"MaximumTransferSize", ULONG{0});
    }

    void TearDown() override
    {
        host.reset();
        std::vector<std::string> findings = sim::Verifier::Take();
        EXPECT_TRUE(findings.empty()) << JoinFindings(findings);
        sim::Reset();
    }

    sim::DeviceNode& PlugImager(sim::ImagerConfig config = {})
    {
        return host->PlugIn(std::make_shared<sim::ImagerDevice>(config));
    }

    std::unique_ptr<sim::Host> host;
};
