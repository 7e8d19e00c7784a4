// A read-only text pane that keeps its lines in a store of its own and shows them: a new line is
// one block added at the end, never a rebuilt text, and a save is one write of the store.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <QPlainTextEdit>
#include <QTextCursor>

#include "store/LineStore.h"

class QTimer;

// The store is the truth: change the pane only through these functions, not through the text
// edit's own setters. Lines are bytes, shown as UTF-8; the store keeps bytes that are not.
class TLinePane : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TLinePane(QWidget* parent = nullptr);

    // A line that holds line ends of its own (CR LF, lone CR, lone LF) becomes the lines that a
    // file holding it would read back as; an empty line stays one empty line.
    void AppendLine(const std::string& line);
    void SetLines(const std::vector<std::string>& lines);
    void Clear();

    std::size_t LineCount() const noexcept { return m_store.Count(); }
    std::string_view Line(std::size_t index) const { return m_store.Line(index); }
    std::vector<std::string> Lines() const { return m_store.Lines(); }
    const quarrow::LineStore& Store() const noexcept { return m_store; }

    // Replaces the content with the file's lines. Throws an Exception "Unable to read " + path.
    // A log of more than ImmediateLines shows its last TailLines at once and the lines before
    // them a chunk at a time from the event loop, so that the window never freezes for it; the
    // store holds every line from the start.
    void LoadFromFile(const std::string& path);
    // Whether every line of the store is in the text too.
    bool Filled() const noexcept { return m_filledFrom == 0; }

    static constexpr std::size_t ImmediateLines = 100'000;
    static constexpr std::size_t TailLines = 20'000;
    // Creates or replaces the file, every line followed by CR LF; a failed save leaves the old
    // file whole. Throws an Exception "Unable to write to " + path.
    void SaveToFile(const std::string& path) const;

private:
    void ShowAtEnd(const QString& text);
    void ShowAll();
    // The lines [first, last) of the store as one text, separated by line feeds.
    QString ShownLines(std::size_t first, std::size_t last) const;
    // Puts the next chunk of the lines not yet shown in front of the text.
    void FillHead();
    void ClearShown();
    // Asks for UpdateView: at the next pass of the event loop when promptly or when the view has
    // not caught up for a while, else once ViewInterval has passed since it last did.
    void ScheduleView(bool promptly);
    // Scroll range and repaint after appending; keeps the view on the last line when it was.
    void UpdateView();
    void HoldCursor();

    quarrow::LineStore m_store;

    QTextCursor m_end; // at the end of the shown text; null until the first append
    bool m_viewPending = false;
    QTimer* m_viewTimer = nullptr;
    std::chrono::steady_clock::time_point m_lastView;
    bool m_following = true;
    std::size_t m_filledFrom = 0; // the store's lines before this one are not in the text yet
};
