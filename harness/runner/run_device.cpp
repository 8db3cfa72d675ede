#include "harness/runner/run_device.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include "flow/uninstall.h"
#include "platform/sim/device_startup.h"

namespace sim {

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
    // The session lives on the heap so that nothing with a destructor sits
    // in this frame across setjmp.
    auto session = std::make_unique<DeviceSession>(image, outcome.trace);
    session->answerer = options.answerer;
    session->faults = options.faults;
    session->resetReturns = options.resetReturns;

    std::jmp_buf stopPoint;
    session->stopPoint = &stopPoint;
    if (setjmp(stopPoint) == 0) outcome.exitCode = options.program ? options.program(*session) : RunUninstall();
    else outcome.exitCode = 0;
    session->stopPoint = nullptr;

    outcome.stop = session->stop;
    outcome.fault = session->fault;
    outcome.boxes = std::move(session->boxes);
    outcome.resetRequests = session->resetRequests;
    outcome.calls = session->calls;
    outcome.heapBlocksLeft = session->heapBlocks.size();
    outcome.badHeapFrees = session->badHeapFrees;
    outcome.keysLeftOpen = session->openKeys.size();
    bool registryChanged = session->registryChanged;
    session.reset();

    if (!options.writeBack) {
        if (outcome.stop == Stop::Reset) StartDevice(image);
        return true;
    }
    if (registryChanged && !SaveRegistry(image, error)) return false;
    if (outcome.stop == Stop::Reset && !RestartDevice(image, error)) return false;
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

}  // namespace sim
