// The models section each reported build of Windows 10 and 11 x64 chooses,
// and whether the bootloader's ID is bound on every one of them.

#include "InfRules.h"
#include "PackageSteps.h"

#include <algorithm>

// Decorations Windows x64 skips or reads only on some builds.
void CheckDecorations(CheckedKit& kit, const InfFile& file, const std::wstring& path)
{
    for (const InfLine& line : file.Lines(L"Manufacturer")) {
        for (std::size_t number = 2; number <= line.fields.size(); ++number) {
            const std::wstring& text = line.fields[number - 1];
            const TargetOsDecoration decoration = ReadTargetOsDecoration(text);
            if (!decoration.valid) {
                kit.Warning(path, L"[Manufacturer]: " + text + L" is not a valid decoration; Windows ignores it");
            } else if (decoration.amd64 && decoration.suiteMask != 0) {
                kit.Warning(path, L"[Manufacturer]: " + text +
                                      L" applies only to editions with that suite mask; the choice reported "
                                      L"is for editions without it");
            } else if (decoration.amd64 && decoration.hasBuild && decoration.build < 14310) {
                kit.Warning(path, L"[Manufacturer]: " + text +
                                      L" names a build before 14310, which Windows does not take as valid");
            }
        }
    }
}

DriverBuildChoice ChooseModels(CheckedKit& kit, const InfFile& file, const std::wstring& path, unsigned build)
{
    DriverBuildChoice choice;
    choice.build = build;
    std::vector<std::wstring> chosenSections;
    int bestRank = 0;
    for (const InfLine& line : file.Lines(L"Manufacturer")) {
        std::vector<std::wstring> decorations = line.fields;
        decorations.erase(decorations.begin(), decorations.begin() + (decorations.empty() ? 0 : 1));
        const int chosen = ChooseDecoration(decorations, build);
        if (chosen < 0) {
            continue;
        }
        const std::wstring models = line.Field(1) + L"." + decorations[static_cast<std::size_t>(chosen)];
        chosenSections.push_back(Section(models));
        if (!file.HasSection(models)) {
            kit.Problem(path, L"[Manufacturer]: the models section " + Section(models) + L" that build " +
                                  std::to_wstring(build) + L" chooses is missing");
            continue;
        }
        for (const InfLine& model : file.Lines(models)) {
            for (std::size_t number = 2; number <= model.fields.size(); ++number) {
                // Windows ranks a hardware ID before a compatible ID, and
                // the device's own ID before a revision's.
                const IdMatch match = MatchBootloaderId(model.fields[number - 1]);
                const int rank =
                    match == IdMatch::None ? 0 : (match == IdMatch::Device ? 2 : 0) + (number == 2 ? 2 : 1);
                if (rank > bestRank) {
                    bestRank = rank;
                    choice.modelsSection = models;
                    choice.matchedId = model.fields[number - 1];
                    choice.compatibleId = number > 2;
                    choice.installSection = model.Field(1);
                }
            }
        }
    }
    if (choice.matchedId.empty()) {
        kit.misses[path].emplace_back(build, chosenSections.empty()
                                                 ? L"no models section for x64 applies"
                                                 : L"the models section chosen (" + List(chosenSections) +
                                                       L") does not list " + BootloaderDeviceId);
    } else if (MatchBootloaderId(choice.matchedId) == IdMatch::RevisionOnly) {
        kit.Warning(path, Section(choice.modelsSection) + L": " + choice.matchedId +
                              L" binds only that revision of the bootloader, not " + BootloaderDeviceId);
    }
    return choice;
}

// Every reported build needs an INF that binds the bootloader.
void CheckCoverage(CheckedKit& kit, const std::vector<DriverInf>& candidates)
{
    for (const DriverInf& inf : candidates) {
        std::map<std::wstring, std::vector<std::wstring>> buildsByReason;
        for (const auto& [missedBuild, reason] : kit.misses[inf.path]) {
            const unsigned build = missedBuild;
            const bool boundElsewhere = std::any_of(candidates.begin(), candidates.end(), [&](const DriverInf& other) {
                return std::any_of(other.builds.begin(), other.builds.end(), [&](const DriverBuildChoice& choice) {
                    return choice.build == build && !choice.matchedId.empty();
                });
            });
            if (!boundElsewhere) {
                buildsByReason[reason].push_back(std::to_wstring(build));
            }
        }
        for (const auto& [reason, builds] : buildsByReason) {
            kit.Problem(inf.path, std::wstring(L"does not bind ") + BootloaderDeviceId +
                                      L" on Windows 10/11 x64 build" + (builds.size() > 1 ? L"s " : L" ") +
                                      List(builds) + L": " + reason);
        }
    }
}
