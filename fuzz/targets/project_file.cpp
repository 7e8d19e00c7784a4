// A project file as the Open task reads it, and the resume test of a Start with the entries that
// opening it gave: such a Start continues the run whenever the file names both whole numbers.
#include "FuzzSupport.h"
#include "task/StartRules.h"
#include "engine/ProfileFile.h"

using namespace quarrow;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string folder = fuzz::ScratchFolder();
    const std::string name = "task.zav";
    fuzz::WriteBytes(folder + name, std::string_view(reinterpret_cast<const char*>(data), size));

    // The Open task's reads.
    const ProfileFile project(folder + name);
    ResumeEntries entries;
    entries.Left = project.ReadString("AREA", "LeftLongitude", "");
    entries.Right = project.ReadString("AREA", "RightLongitude", "");
    entries.Top = project.ReadString("AREA", "TopLatitude", "");
    entries.Bottom = project.ReadString("AREA", "BottomLatitude", "");
    entries.MapsType = project.ReadInteger("MapsType", "MapsType", 0);
    entries.Zoom = project.ReadInteger("Zoom", "Zoom", 0);
    entries.SavePathTyped = folder.substr(0, folder.size() - 1); // typed without the "/"
    entries.TaskNameTyped = ProjectNameFor(name);

    // A missing or unreadable number gives the Open task's 0 but the resume test's 100.
    const bool numbersStored =
        project.ReadInteger("MapsType", "MapsType", 100) == entries.MapsType &&
        project.ReadInteger("Zoom", "Zoom", 100) == entries.Zoom;
    fuzz::Check(IsResume(entries, folder, entries.TaskNameTyped) == numbersStored,
                "a Start with the opened entries resumes exactly when both numbers are stored");

    // Another map type or coordinate text is another task.
    ResumeEntries other = entries;
    other.MapsType ^= 1;
    fuzz::Check(!IsResume(other, folder, name), "another map type is another task");
    other = entries;
    other.Left += "0";
    fuzz::Check(!IsResume(other, folder, name), "another coordinate text is another task");
    return 0;
}
