#include "RangeRun.h"

#include <utility>

#include "StartRules.h"

namespace quarrow {
namespace {

// "12", "12 and 14", "12, 13 and 14"
std::string Levels(const std::vector<int>& levels) {
    std::string text;
    for (std::size_t i = 0; i < levels.size(); ++i) {
        if (i > 0)
            text += i + 1 == levels.size() ? " and " : ", ";
        text += std::to_string(levels[i]);
    }
    return text;
}

} // namespace

RangeRun::RangeRun(int from, int to, std::string name)
    : m_from(from), m_to(to), m_level(from), m_name(std::move(name)),
      m_whole(static_cast<std::size_t>(to - from + 1)) {}

std::string RangeRun::TaskName() const {
    return TaskName(m_level);
}

std::string RangeRun::TaskName(int level) const {
    return RangeTaskName(m_name, level);
}

std::optional<LevelChoice> RangeRun::ChoiceFor(int level) const {
    const auto found = m_choices.find(level);
    return found == m_choices.end() ? std::nullopt : std::optional(found->second);
}

bool RangeRun::Ended(bool whole) {
    m_whole[static_cast<std::size_t>(m_level - m_from)] = whole;
    if (m_level >= m_to)
        return false;
    ++m_level;
    return true;
}

bool RangeRun::AllWhole() const {
    for (const std::optional<bool>& whole : m_whole)
        if (!whole.value_or(false))
            return false;
    return true;
}

std::string RangeRun::Prefix() const {
    return "Zoom " + std::to_string(m_level) + " (" + std::to_string(m_level - m_from + 1) +
           " of " + std::to_string(m_to - m_from + 1) + "): ";
}

std::string RangeRun::EndText() const {
    std::vector<int> whole, broken, unstarted;
    for (int level = m_from; level <= m_to; ++level) {
        const std::optional<bool>& ended = m_whole[static_cast<std::size_t>(level - m_from)];
        (!ended ? unstarted : *ended ? whole : broken).push_back(level);
    }
    std::vector<std::string> parts;
    if (!whole.empty())
        parts.push_back(Levels(whole) + " whole");
    if (!broken.empty())
        parts.push_back(Levels(broken) + " not whole");
    if (!unstarted.empty())
        parts.push_back(Levels(unstarted) + " not started");
    std::string text = "Zoom " + std::to_string(m_from) + " to " + std::to_string(m_to) + ": ";
    for (std::size_t i = 0; i < parts.size(); ++i)
        text += (i > 0 ? ", " : "") + parts[i];
    return text + ".";
}

} // namespace quarrow
