// A zoom range's tasks, one a level (TASK_z13.zav ...), as the window and quarrow-batch both run
// them: every level is attempted whatever became of the one before, and the end says which levels
// are whole.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quarrow {

// What the user said of a level's task that exists already, asked before the first level starts.
enum class LevelChoice { Resume, StartAnew };

class RangeRun {
public:
    // The levels from..to of the task name as typed.
    RangeRun(int from, int to, std::string name);

    int From() const noexcept { return m_from; }
    int To() const noexcept { return m_to; }
    int Level() const noexcept { return m_level; }
    // The current level's project file name.
    std::string TaskName() const;
    std::string TaskName(int level) const;

    // What the user chose for a level's existing task; none: it was not asked.
    void Choose(int level, LevelChoice choice) { m_choices[level] = choice; }
    std::optional<LevelChoice> ChoiceFor(int level) const;

    // The current level ended, whole or not; false when it was the last.
    bool Ended(bool whole);
    bool AllWhole() const;

    // "Zoom 13 (2 of 3): " while the range runs.
    std::string Prefix() const;
    // "Zoom 12 to 14: 12 and 14 whole, 13 not whole."; the levels not reached are "not started".
    std::string EndText() const;

private:
    int m_from, m_to, m_level;
    std::string m_name;
    std::vector<std::optional<bool>> m_whole; // per level from m_from; none: not ended
    std::map<int, LevelChoice> m_choices;
};

} // namespace quarrow
