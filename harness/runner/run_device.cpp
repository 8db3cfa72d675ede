#include "harness/runner/run_device.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include "flow/uninstall.h"
#include "harness/runner/bound_device.h"
#include "platform/sim/device_startup.h"

namespace runner {

using sim::BoxAnswerer;
using sim::BoxRecord;
using sim::DeviceImage;
using sim::DeviceSession;
using sim::SaveConfig;
using sim::SaveRegistry;
using sim::StartDevice;
using sim::Stop;
using sim::Trace;

bool RestartDevice(DeviceImage& image, std::string& error)
{
    StartDevice(image);
    return SaveConfig(image, error);
}

bool RunUninstallOn(DeviceImage& image, const RunOptions& options, RunOutcome& outcome,
                    std::string& error)
{
    outcome = RunOutcome{};
    if (options.writeBack) image.ReserveRegistryWrite();  // fails, if it must, before the run
    outcome.trace = Trace(options.trace, options.keepRecords);
    outcome.trace.Start(options.build, sim::DeviceFactsOf(image.config.device));
    {
        DeviceSession device(image, outcome.trace,
                             {options.answerer, options.faults, options.resetReturns, options.writeBack});
        if (!options.programPath.empty()) device.RunsProgram(options.programPath, options.programOnDevice);

        const int exitCode = options.program ? options.program(device) : RunBound(device, RunUninstall);
        outcome.exitCode = device.Stopped() ? 0 : exitCode;
        static_cast<sim::RunReport&>(outcome) = device.EndRun();
    }

    if (!options.writeBack) {
        if (outcome.stop == Stop::Reset) StartDevice(image);
        return true;
    }
    if (outcome.registryChanged && !SaveRegistry(image, error)) return false;
    if (outcome.stop == Stop::Reset) return RestartDevice(image, error);
    if (outcome.configChanged && !SaveConfig(image, error)) return false;
    return true;
}

bool HasButton(uint32_t flags, int id)
{
    switch (flags & MB_TYPEMASK) {
    case MB_OK: return id == IDOK;
    case MB_OKCANCEL: return id == IDOK || id == IDCANCEL;
    case MB_YESNOCANCEL: return id == IDYES || id == IDNO || id == IDCANCEL;
    case MB_YESNO: return id == IDYES || id == IDNO;
    default: return false;
    }
}

bool IsQuestion(uint32_t flags)
{
    return HasButton(flags, IDYES);
}

int ParseAnswer(const std::string& word)
{
    std::string w = word;
    std::transform(w.begin(), w.end(), w.begin(), [](unsigned char c) { return std::tolower(c); });
    if (w == "yes" || w == "y") return IDYES;
    if (w == "no" || w == "n") return IDNO;
    if (w == "cancel" || w == "c") return IDCANCEL;
    return 0;
}

BoxAnswerer ScriptedAnswers(std::vector<int> answers)
{
    auto next = std::make_shared<size_t>(0);
    return [answers = std::move(answers), next](const BoxRecord& box) -> std::optional<int> {
        if (!IsQuestion(box.flags)) return IDOK;
        if (*next >= answers.size()) return std::nullopt;
        return answers[(*next)++];
    };
}

}  // namespace runner
