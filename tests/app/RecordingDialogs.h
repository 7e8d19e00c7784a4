// Dialogs for tests: every request is recorded instead of shown, and the file and folder dialogs
// give scripted answers (empty, as a cancel, once the script is used up).
#pragma once

#include <deque>
#include <vector>

#include <QString>
#include <QStringList>

#include "widgets/Dialogs.h"

namespace quarrow::test {

class RecordingDialogs : public Dialogs {
public:
    enum class Kind {
        Message,
        Error,
        BrowseFolder,
        OpenFile,
        ShellOpen,
        StartProgram,
        ExistingTask,
        LongTask,
        Replace,
        SaveFile
    };

    struct Call {
        Kind What;
        QString Text;      // the text, caption, title, target or path
        QStringList Extra; // OpenFile: the filter and the initial folder
    };

    std::vector<Call> Calls;
    std::deque<QString> FolderAnswers;
    std::deque<QString> FileAnswers;
    std::deque<ExistingTaskChoice> ExistingAnswers; // none left: Start anew
    std::deque<bool> LongTaskAnswers;               // none left: start it
    std::deque<bool> ReplaceAnswers;                // none left: replace

    // The texts of the calls of one kind, in order.
    QStringList TextsOf(Kind what) const {
        QStringList texts;
        for (const Call& call : Calls)
            if (call.What == what)
                texts << call.Text;
        return texts;
    }

    void Message(const QString& text) override { Calls.push_back({Kind::Message, text, {}}); }
    void Error(const QString& text) override { Calls.push_back({Kind::Error, text, {}}); }
    QString BrowseFolder(const QString& caption) override {
        Calls.push_back({Kind::BrowseFolder, caption, {}});
        return Next(FolderAnswers);
    }
    QString OpenFile(const QString& title, const QString& filter,
                     const QString& initialFolder) override {
        Calls.push_back({Kind::OpenFile, title, {filter, initialFolder}});
        return Next(FileAnswers);
    }
    void ShellOpen(const QString& target) override {
        Calls.push_back({Kind::ShellOpen, target, {}});
    }
    void StartProgram(const QString& path) override {
        Calls.push_back({Kind::StartProgram, path, {}});
    }
    void StartProgramWith(const QString& path, const QStringList& arguments) override {
        Calls.push_back({Kind::StartProgram, path, arguments});
    }
    bool ConfirmReplace(const QString& question) override {
        Calls.push_back({Kind::Replace, question, {}});
        if (ReplaceAnswers.empty())
            return true;
        const bool answer = ReplaceAnswers.front();
        ReplaceAnswers.pop_front();
        return answer;
    }
    QString SaveFile(const QString& title, const QString& filter,
                     const QString& initialPath) override {
        Calls.push_back({Kind::SaveFile, title, {filter, initialPath}});
        return Next(FileAnswers);
    }
    bool ConfirmLongTask(const QString& warning) override {
        Calls.push_back({Kind::LongTask, warning, {}});
        if (LongTaskAnswers.empty())
            return true;
        const bool answer = LongTaskAnswers.front();
        LongTaskAnswers.pop_front();
        return answer;
    }
    ExistingTaskChoice AskExistingTask(const QString& question, bool canResume) override {
        Calls.push_back({Kind::ExistingTask, question,
                         {canResume ? QStringLiteral("can resume") : QString()}});
        if (ExistingAnswers.empty())
            return ExistingTaskChoice::StartAnew;
        const ExistingTaskChoice answer = ExistingAnswers.front();
        ExistingAnswers.pop_front();
        return answer;
    }

private:
    static QString Next(std::deque<QString>& answers) {
        if (answers.empty())
            return {};
        QString answer = answers.front();
        answers.pop_front();
        return answer;
    }
};

} // namespace quarrow::test
