// The binary interface: field offsets, object sizes and virtual slots must never move.
// SPDX-License-Identifier: MIT
#include <LUMServiceApp.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

// Measures field offsets by address arithmetic from inside a derived class.
class Probe : public CLUMServiceApp {
public:
    size_t At(const void* field) const
    {
        return static_cast<size_t>(static_cast<const char*>(field) - reinterpret_cast<const char*>(this));
    }
    std::vector<size_t> Offsets()
    {
        return {At(&m_serviceName), At(&m_serviceNameSet), At(&m_programPath), At(&m_registryName),
                At(&m_auxName),     At(&m_quitFlag),       At(&m_pausedFlag),  At(&m_deinitTimeout),
                At(&m_action),      At(&m_rcSequence),     At(&m_vmArgIndex)};
    }
    std::vector<long> State()
    {
        return {m_quitFlag.is_lock_free(), m_rcSequence, m_deinitTimeout, m_vmArgIndex, IsServiceInstalled()};
    }
};

TEST(Layout, FieldsSitAtTheirFixedOffsetsObjectsKeepTheirSizesAndStartInTheirState)
{
    Probe probe;
    EXPECT_EQ(probe.Offsets(),
              (std::vector<size_t>{8, 264, 265, 1289, 1545, 1801, 1802, 1804, 1808, 1812, 1816}));
    EXPECT_EQ(probe.State(), (std::vector<long>{true, 55, 30, -1, false}))
        << "lock-free flag, sequence, time-out, -vm index, installed";
    EXPECT_EQ(
        (std::vector<size_t>{sizeof(CBaseServiceApp), sizeof(CUnixServiceApp), sizeof(CServiceApp),
                             sizeof(CLUMServiceApp), sizeof(eServiceAction), sizeof(eLinuxDistribution)}),
        (std::vector<size_t>{1816, 1816, 1816, 1824, 4, 4}));
}

// In the Itanium ABI a pointer to a virtual member function holds 1 + the
// byte offset of its slot in the vtable.
template <typename F>
ptrdiff_t Slot(F member)
{
    ptrdiff_t raw[2];
    static_assert(sizeof(member) == sizeof(raw), "Itanium member pointer");
    memcpy(raw, &member, sizeof(raw));
    return (raw[0] - 1) / static_cast<ptrdiff_t>(sizeof(void*));
}

TEST(Layout, VirtualOperationsKeepTheirSlots)
{
    using B = CBaseServiceApp;
    // Slots 0 and 1 are the complete and deleting destructors.
    // clang-format off
    const ptrdiff_t slots[] = {
        Slot(&B::Main), Slot(&B::SetServiceStateStarting), Slot(&B::SetServiceStateRunning),
        Slot(&B::SetServiceStateStopping), Slot(&B::SetServiceStateStopped), Slot(&B::SetServiceStatePausing),
        Slot(&B::SetServiceStatePaused), Slot(&B::SetServiceStateResuming), Slot(&B::SetServiceStateResumed),
        Slot(&B::CheckQuitFlag), Slot(&B::CheckPausedFlag), Slot(&B::DisplayUsage), Slot(&B::InstallService),
        Slot(&B::UninstallService), Slot(&B::StartService), Slot(&B::StopService), Slot(&B::RunCustom),
        Slot(&B::SetQuitFlag), Slot(&B::SetPausedFlag), Slot(&B::UnsetPausedFlag), Slot(&B::Initialize),
        Slot(&B::Deinitialize), Slot(&B::OnStop), Slot(&B::OnPause), Slot(&B::OnContinue),
        Slot(&B::OnShutdown), Slot(&B::Run), Slot(&B::RunAsService), Slot(&B::RunAsConsole),
        Slot(&B::LogMessage),
        Slot(&B::ParseCommandLineArgument), Slot(&B::ParseCommandLine), Slot(&CUnixServiceApp::StopSelf)};
    // clang-format on
    for (size_t i = 0; i < sizeof(slots) / sizeof(slots[0]); ++i) {
        EXPECT_EQ(slots[i], static_cast<ptrdiff_t>(i + 2)) << "operation " << i + 2 << " moved";
    }
    // Overrides reuse their base slots.
    EXPECT_EQ(Slot(&CLUMServiceApp::RunAsService), Slot(&B::RunAsService));
    EXPECT_EQ(Slot(&CLUMServiceApp::SetServiceStateRunning), Slot(&B::SetServiceStateRunning));
    EXPECT_EQ(Slot(&CLUMServiceApp::ParseCommandLineArgument), Slot(&B::ParseCommandLineArgument));
}

}  // namespace
