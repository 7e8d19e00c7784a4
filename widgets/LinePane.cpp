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

namespace {

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

void TLinePane::AppendLine(const std::string& line) {
    const std::size_t first = m_store.Count();
    const std::size_t added = m_store.Append(line);
    QString shown;
    shown.reserve(static_cast<qsizetype>(line.size() + 2 * added));
    for (std::size_t i = first; i < first + added; ++i) {
        // Blocks are separated, not ended, by "\n": the first line of an empty pane has none.
        if (i > 0)
            shown.append(QLatin1Char('\n'));
        shown.append(Shown(m_store.Line(i)));
    }
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

QString TLinePane::ShownLines(std::size_t first, std::size_t last) const {
    QString shown;
    for (std::size_t i = first; i < last; ++i) {
        if (i > first)
            shown.append(QLatin1Char('\n'));
        shown.append(Shown(Line(i)));
    }
    return shown;
}

void TLinePane::ShowAll() {
    // A text document takes microseconds a line: a long log shows its end first.
    const std::size_t count = m_store.Count();
    const std::size_t first = count > ImmediateLines ? count - TailLines : 0;
    ClearShown();
    ShowAtEnd(ShownLines(first, count));
    m_filledFrom = first;
    if (first > 0)
        QMetaObject::invokeMethod(this, &TLinePane::FillHead, Qt::QueuedConnection);
    // A loaded log is read from its newest lines, and new lines follow from there.
    m_following = true;
    ScheduleView(true);
}

void TLinePane::FillHead() {
    if (m_filledFrom == 0)
        return;
    const std::size_t first = m_filledFrom > TailLines ? m_filledFrom - TailLines : 0;
    const std::size_t added = m_filledFrom - first;
    const QString text = ShownLines(first, m_filledFrom) + QLatin1Char('\n');
    QScrollBar* bar = verticalScrollBar();
    const int value = bar->value();
    const bool selected = textCursor().hasSelection();
    {
        const QSignalBlocker quietLayout(document()->documentLayout());
        const QSignalBlocker quietDocument(document());
        QTextCursor start(document());
        start.beginEditBlock();
        start.insertText(text, QTextCharFormat());
        start.endEditBlock();
    }
    // Text put in front of the user's cursor at the start would become its selection.
    if (!selected)
        HoldCursor();
    m_filledFrom = first;
    // What the user looks at stays in sight: the scroll range counts lines.
    QAbstractTextDocumentLayout* layout = document()->documentLayout();
    emit layout->documentSizeChanged(layout->documentSize());
    bar->setValue(m_following ? bar->maximum() : value + static_cast<int>(added));
    viewport()->update();
    if (m_filledFrom > 0)
        QMetaObject::invokeMethod(this, &TLinePane::FillHead, Qt::QueuedConnection);
}

void TLinePane::SetLines(const std::vector<std::string>& lines) {
    m_store.SetLines(lines);
    ShowAll();
}

void TLinePane::Clear() {
    m_store.Clear();
    ClearShown();
}

void TLinePane::ClearShown() {
    m_filledFrom = 0; // a filling under way ends at its next chunk
    m_end = QTextCursor();
    clear();
    HoldCursor();
}

void TLinePane::LoadFromFile(const std::string& path) {
    m_store.Load(path);
    ShowAll();
}

void TLinePane::SaveToFile(const std::string& path) const {
    m_store.Save(path);
}
