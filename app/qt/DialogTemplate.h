// Dialog templates kept as data (resources/dialogs.json, embedded as ":/dialogs.json") and the
// construction of a Qt dialog from one.
//
// A template gives every control's id, kind, text, styles, and position and size in dialog units;
// the controls are created in template order, which is also their tab order. Dialog units become
// pixels through the dialog font: a horizontal unit is a quarter of its average character width,
// a vertical unit an eighth of its character height, each product rounded to the nearest pixel.
#pragma once

#include <optional>

#include <QFont>
#include <QHash>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QVector>

class QWidget;
class QDialog;

struct DialogControlTemplate {
    int id = -1;
    QString kind;  // button, static, combobox, progress, edit, picture, icon
    QString text;  // for an icon: the icon resource number
    QRect units;   // position and size in dialog units
    QStringList styles;

    bool HasStyle(const QString& style) const { return styles.contains(style); }
};

struct DialogTemplate {
    int id = 0;
    QSize units;  // client area in dialog units
    QString caption;
    QString fontFace;
    int fontPoints = 9;
    QStringList styles;
    QStringList exStyles;
    QVector<DialogControlTemplate> controls;
};

// Template `id` of the program's resources; nothing when there is none or the data is unreadable.
std::optional<DialogTemplate> LoadDialogTemplate(int id);
// The same, from JSON text (the resource's format).
std::optional<DialogTemplate> ParseDialogTemplate(const QByteArray& json, int id);

// Pixels per 4 horizontal and per 8 vertical dialog units.
struct DialogBaseUnits {
    int averageCharWidth;
    int charHeight;
};

// The template's font when the system has it, otherwise the system's UI font at the template's size.
QFont DialogFont(const DialogTemplate& tpl);
// Base units of `font`: the average width of the 52 Latin letters, rounded, and the line height.
DialogBaseUnits BaseUnitsOf(const QFont& font);

// x * base / 4 and y * base / 8, each rounded to the nearest pixel (halves away from zero).
int HorizontalUnitsToPixels(int units, const DialogBaseUnits& base);
int VerticalUnitsToPixels(int units, const DialogBaseUnits& base);
QRect DialogUnitsToPixels(const QRect& units, const DialogBaseUnits& base);

// The controls that BuildDialog created.
struct BuiltDialog {
    QVector<QWidget*> controls;    // in template (= tab) order
    QHash<int, QWidget*> byId;     // controls with an id other than -1
    QSize clientSize;              // in pixels
};

// Creates the template's controls as children of `dialog` with the given base units, sets the tab
// order, the default button and the dialog's fixed client size and caption. `icon` is shown by icon
// controls.
BuiltDialog BuildDialog(QDialog* dialog, const DialogTemplate& tpl, const DialogBaseUnits& base,
                        const QIcon& icon);
