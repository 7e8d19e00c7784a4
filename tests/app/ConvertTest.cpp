// The converter: its rules as a table of fields and result texts (expected values worked out with
// single-precision arithmetic apart from the code), and the window driven offscreen.
#include "app/Convert.h"

#include <optional>
#include <string>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include "app/ConvertRules.h"
#include "tests/app/RecordingDialogs.h"

namespace {

using quarrow::ConvertedDegrees;
using quarrow::test::RecordingDialogs;
using Kind = RecordingDialogs::Kind;

struct Conversion {
    const char* Degrees;
    const char* Minutes;
    const char* Seconds;
    std::optional<std::string> Result; // nullopt: "Input Error."
};

const Conversion Conversions[] = {
    {"12", "30", "0", "12.5"},
    {"39", "54", "26.4", "39.9073333740234"},
    {"116", "23", "17.5", "116.388191223145"},
    {"0", "0", "1", "0.000277777784503996"},
    // The sign of the degrees does not carry over; no range is enforced.
    {"-12", "30", "0", "-11.5"},
    {"1", "75", "100", "2.27777767181396"},
    {"10", "-30", "0", "9.5"},
    // Whole numbers: blanks and a sign before them, "$" and "0x" hexadecimal, the 32-bit range.
    {"  +12", "\t30", "0", "12.5"},
    {"$1F", "0x1e", "0", "31.5"},
    {"-$10", "0X0", "", "-16"},
    {"$FFFFFFFF", "0", "0", "-1"},
    {"2147483647", "0", "0", "2147483648"},
    {"-2147483648", "0", "0", "-2147483648"},
    {"39.5", "0", "0", std::nullopt},
    {"", "0", "0", std::nullopt},
    {"12", "", "0", std::nullopt},
    {"12 ", "0", "0", std::nullopt},
    {"12", "30x", "0", std::nullopt},
    {"- 12", "0", "0", std::nullopt},
    {"+-12", "0", "0", std::nullopt},
    {"1e3", "0", "0", std::nullopt},
    {"$", "0", "0", std::nullopt},
    {"0x", "0", "0", std::nullopt},
    {"$100000000", "0", "0", std::nullopt},
    {"2147483648", "0", "0", std::nullopt},
    {"-2147483649", "0", "0", std::nullopt},
    {"12", "$G", "0", std::nullopt},
    // Seconds: the leading number counts, the rest is ignored, no number is 0.
    {"39", "54", "26,4", "39.9072227478027"},
    {"0", "0", "  -30abc", "-0.00833333376795053"},
    {"0", "0", "1.5e1xyz", "0.00416666688397527"},
    {"0", "0", "1e", "0.000277777784503996"},
    {"0", "0", "1e+", "0.000277777784503996"},
    {"0", "0", ".5", "0.000138888892251998"},
    {"0", "0", "5.", "0.00138888892251998"},
    {"0", "0", "0x10", "0"},
    {"7", "0", ".", "7"},
    {"7", "0", "abc", "7"},
    {"7", "0", "+", "7"},
    {"7", "0", "- 5", "7"},
    // Single precision: the seconds and the result are rounded to it.
    {"0", "0", "0.1", "0.0000277777780866018"},
    {"0", "0", "1e-5", "2.77777778556754E-9"},
    {"0", "0", "1e38", "2.77777775389133E34"},
    {"0", "0", "1e-50", "0"},
    {"0", "0", "1e39", "INF"},
    {"0", "0", "-1e999", "-INF"},
};

TEST(ConvertRules, ConvertsTheFieldsOrRefusesThem) {
    for (const Conversion& c : Conversions)
        EXPECT_EQ(ConvertedDegrees(c.Degrees, c.Minutes, c.Seconds, '.'), c.Result)
            << '"' << c.Degrees << "\" \"" << c.Minutes << "\" \"" << c.Seconds << '"';
    EXPECT_EQ(ConvertedDegrees("39", "54", "26.4", ','), "39,9073333740234");
}

class ConvertWindow : public testing::Test {
protected:
    ConvertWindow() : m_form(m_dialogs) {}

    template <typename T> T* Find(const char* name) {
        T* control = m_form.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(control, nullptr) << name;
        return control;
    }
    void Type(const QString& degrees, const QString& minutes, const QString& seconds) {
        Find<QLineEdit>("Edit1")->setText(degrees);
        Find<QLineEdit>("Edit2")->setText(minutes);
        Find<QLineEdit>("Edit3")->setText(seconds);
    }
    QString Result() { return Find<QLineEdit>("Edit4")->text(); }

    RecordingDialogs m_dialogs;
    TfrmConvert m_form;
};

TEST_F(ConvertWindow, ShowsItsControlsAndStaysAboveWithoutBlocking) {
    QWidget mainWindow;
    mainWindow.show();
    m_form.show();
    EXPECT_EQ(m_form.windowTitle(), "Convert \"Degrees,Minutes,Seconds\" to \"Degrees\"");
    EXPECT_TRUE(m_form.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(m_form.isModal());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(m_form.minimumSize(), m_form.maximumSize());
    EXPECT_EQ(Find<QLabel>("Label1")->text(), "Degrees, Minutes, Seconds:");
    EXPECT_EQ(Find<QLabel>("Label2")->text(), "Degrees:");
    EXPECT_EQ(Find<QPushButton>("Button1")->text(), "convert");
    EXPECT_TRUE(Find<QPushButton>("Button1")->isDefault());
    EXPECT_TRUE(Find<QLineEdit>("Edit4")->isReadOnly());
    for (const char* edit : {"Edit1", "Edit2", "Edit3"})
        EXPECT_FALSE(Find<QLineEdit>(edit)->isReadOnly()) << edit;
    for (const char* edit : {"Edit1", "Edit2", "Edit3", "Edit4"})
        EXPECT_EQ(Find<QLineEdit>(edit)->text(), QString()) << edit;
}

TEST_F(ConvertWindow, ConvertsKeepsTheResultOnAnInputErrorAndKeepsItsFieldsWhenClosed) {
    m_form.show();
    Type("116", "23", "17.5");
    Find<QPushButton>("Button1")->click();
    // The separator is the system's: the test runs in whatever locale the machine has.
    const QString separator = QString(QLatin1Char(quarrow::SystemDecimalSeparator()));
    EXPECT_EQ(Result(), "116" + separator + "388191223145");
    EXPECT_TRUE(m_dialogs.Calls.empty());

    Type("39.5", "0", "0");
    m_form.Button1Click();
    Type("", "0", "0");
    // Enter in a field runs the default button.
    Find<QLineEdit>("Edit1")->setFocus();
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(Find<QLineEdit>("Edit1"), &enter);
    EXPECT_EQ(m_dialogs.TextsOf(Kind::Message), (QStringList{"Input Error.", "Input Error."}));
    EXPECT_EQ(Result(), "116" + separator + "388191223145");

    m_form.close();
    EXPECT_FALSE(m_form.isVisible());
    m_form.show();
    EXPECT_EQ(Find<QLineEdit>("Edit2")->text(), "0");
    EXPECT_EQ(Result(), "116" + separator + "388191223145");
    Type("-12", "30", "0");
    QApplication::sendEvent(Find<QLineEdit>("Edit3"), &enter);
    EXPECT_EQ(Result(), "-11" + separator + "5");
    EXPECT_EQ(m_dialogs.Calls.size(), 2u);
}

} // namespace
