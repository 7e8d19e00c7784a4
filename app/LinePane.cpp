// The pane's text document mirrors the store block for block at every moment. Its view (scroll
// range, repaint, following the last line) catches up once per pass of the event loop, so that a
// burst of lines costs one layout of what is on screen rather than a layout per line; and while
// lines keep coming one at a time, as from eight workers through a long task, about once a
// second, since each catching up repaints the pane, which costs far more than the line.
#include "LinePane.h"

#include <cmath>

#include <QAbstractTextDocumentLayout>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextDocument>
#include <QTimer>

#include "engine/Exception.h"
#include "engine/FileReplacer.h"
#include "engine/TextFile.h"

namespace {

constexpr std::string_view LineEnd = "\r\n";
// Shortest time between two catch-ups of the view while lines stream in.
constexpr std::chrono::milliseconds ViewInterval{1000};

// The windows hand their texts over as UTF-8; bytes that are not show as replacement characters
// while the store keeps them as they are.
QString Shown(std::string_view bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

} // namespace

TLinePane::TLinePane(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    // Undo would keep a copy of every appended line.
    setUndoRedoEnabled(false);
    // Without wrapping a block is one line high, so the scroll range is the block count and no
    // new line shifts the layout of the others.
    setLineWrapMode(QPlainTextEdit::NoWrap);
    HoldCursor();
    m_viewTimer = new QTimer(this);
    m_viewTimer->setSingleShot(true);
    connect(m_viewTimer, &QTimer::timeout, this, &TLinePane::UpdateView);
}

std::string_view TLinePane::Line(std::size_t index) const {
    const std::size_t end = index + 1 < m_starts.size() ? m_starts[index + 1] : m_bytes.size();
    return std::string_view(m_bytes).substr(m_starts[index],
                                            end - LineEnd.size() - m_starts[index]);
}

std::vector<std::string> TLinePane::Lines() const {
    std::vector<std::string> lines;
    lines.reserve(m_starts.size());
    for (std::size_t i = 0; i < m_starts.size(); ++i)
        lines.emplace_back(Line(i));
    return lines;
}

void TLinePane::AddToStore(std::string_view line) {
    m_starts.push_back(m_bytes.size());
    m_bytes.append(line).append(LineEnd);
}

void TLinePane::AppendLine(const std::string& line) {
    // A line written to a file with its CR LF reads back as these lines.
    const std::vector<quarrow::LineSpan> spans = quarrow::ScanLines(line);
    const bool endsInLineEnd = spans.empty() || spans.back().End != spans.back().TextEnd;

    QString shown;
    shown.reserve(static_cast<qsizetype>(line.size() + 2));
    const auto add = [&](std::string_view text) {
        // Blocks are separated, not ended, by "\n": the first line of an empty pane has none.
        if (!m_starts.empty())
            shown.append(QLatin1Char('\n'));
        shown.append(Shown(text));
        AddToStore(text);
    };
    const std::string_view all(line);
    for (const quarrow::LineSpan& span : spans)
        add(all.substr(span.Begin, span.TextEnd - span.Begin));
    if (endsInLineEnd)
        add({});
    ShowAtEnd(shown);
}

void TLinePane::ShowAtEnd(const QString& text) {
    if (!m_viewPending) {
        const QScrollBar* bar = verticalScrollBar();
        m_following = bar->value() >= bar->maximum();
    }
    {
        // Quiet layout: it would lay the new block out at once to repaint it. Quiet document: the
        // text control would refresh its cursor and the input method for every line.
        const QSignalBlocker quietLayout(document()->documentLayout());
        const QSignalBlocker quietDocument(document());
        // Inside an edit block the cursor does not lay its line out to find its x position. The
        // text takes the document's own format, so the cursor does not look up the last one.
        if (m_end.isNull()) {
            m_end = QTextCursor(document());
            m_end.beginEditBlock();
            m_end.movePosition(QTextCursor::End);
            m_end.endEditBlock();
        }
        // Into an empty text the line goes in at the user's cursor, whose anchor it would carry
        // along: the whole text would show selected.
        const bool wasEmpty = m_end.position() == 0;
        m_end.beginEditBlock();
        m_end.insertText(text, QTextCharFormat());
        m_end.endEditBlock();
        if (wasEmpty)
            HoldCursor();
    }
    ScheduleView(false);
}

void TLinePane::ScheduleView(bool promptly) {
    const auto queue = [this] {
        QMetaObject::invokeMethod(this, &TLinePane::UpdateView, Qt::QueuedConnection);
    };
    if (promptly && m_viewTimer->isActive()) {
        m_viewTimer->stop();
        queue();
        return;
    }
    if (m_viewPending)
        return;
    m_viewPending = true;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
        ViewInterval - (std::chrono::steady_clock::now() - m_lastView));
    if (promptly || wait.count() <= 0)
        queue();
    else
        m_viewTimer->start(wait);
}

void TLinePane::UpdateView() {
    m_viewPending = false;
    m_lastView = std::chrono::steady_clock::now();
    QScrollBar* bar = verticalScrollBar();
    const int oldMaximum = bar->maximum();
    QAbstractTextDocumentLayout* layout = document()->documentLayout();
    emit layout->documentSizeChanged(layout->documentSize());
    // A full pane that follows its last line shows the new lines by scrolling, which moves what
    // is shown; only the new lines are painted, from the top of the first one down, since the
    // strip below the old last line moved up with the rest.
    if (m_following && oldMaximum > 0 && bar->maximum() > oldMaximum) {
        const int newLines = bar->maximum() - oldMaximum; // a block is a line: no wrapping
        bar->setValue(bar->maximum());
        const QTextBlock first = document()->findBlockByNumber(blockCount() - newLines);
        const int top = static_cast<int>(
            std::floor(blockBoundingGeometry(first).translated(contentOffset()).top()));
        viewport()->update(0, top, viewport()->width(), viewport()->height() - top);
    } else {
        viewport()->update();
        if (m_following)
            bar->setValue(bar->maximum());
    }
    emit blockCountChanged(blockCount());
    emit textChanged();
}

void TLinePane::HoldCursor() {
    // The user's cursor stays where it is when lines are added after it, so appending moves no
    // cursor of the text control.
    QTextCursor cursor = textCursor();
    cursor.clearSelection();
    cursor.setKeepPositionOnInsert(true);
    setTextCursor(cursor);
}

void TLinePane::ShowAll() {
    QString shown;
    shown.reserve(static_cast<qsizetype>(m_bytes.size()));
    for (std::size_t i = 0; i < m_starts.size(); ++i) {
        if (i > 0)
            shown.append(QLatin1Char('\n'));
        shown.append(Shown(Line(i)));
    }
    ClearShown();
    ShowAtEnd(shown);
    // A loaded log is read from its newest lines, and new lines follow from there.
    m_following = true;
    ScheduleView(true);
}

void TLinePane::SetLines(const std::vector<std::string>& lines) {
    std::size_t size = 0;
    for (const std::string& line : lines)
        size += line.size() + LineEnd.size();
    m_bytes.clear();
    m_bytes.reserve(size);
    m_starts.clear();
    m_starts.reserve(lines.size());
    for (const std::string& line : lines)
        AddToStore(line);
    ShowAll();
}

void TLinePane::Clear() {
    m_bytes.clear();
    m_starts.clear();
    ClearShown();
}

void TLinePane::ClearShown() {
    m_end = QTextCursor();
    clear();
    HoldCursor();
}

void TLinePane::LoadFromFile(const std::string& path) {
    std::string text;
    if (!quarrow::ReadWholeFile(path, text))
        throw quarrow::ReadError(path);
    const std::vector<quarrow::LineSpan> spans = quarrow::ScanLines(text);
    m_starts.clear();
    m_starts.reserve(spans.size());
    bool crLfOnly = true;
    for (const quarrow::LineSpan& span : spans) {
        m_starts.push_back(span.Begin);
        crLfOnly = crLfOnly && span.End - span.TextEnd == LineEnd.size();
    }
    if (crLfOnly) {
        // A file that the pane saved is its store already.
        m_bytes = std::move(text);
    } else {
        m_bytes.clear();
        m_bytes.reserve(text.size() + spans.size());
        m_starts.clear();
        for (const quarrow::LineSpan& span : spans)
            AddToStore(std::string_view(text).substr(span.Begin, span.TextEnd - span.Begin));
    }
    ShowAll();
}

void TLinePane::SaveToFile(const std::string& path) const {
    quarrow::ReplaceFile(path, m_bytes);
}
