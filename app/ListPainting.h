#pragma once

#include <QCache>
#include <QColor>
#include <QFont>
#include <QHash>
#include <QImage>
#include <QProgressBar>
#include <QRect>
#include <QScrollBar>
#include <QSize>
#include <QString>
#include <QStyle>
#include <QStyleOptionProgressBar>
#include <QStyledItemDelegate>
#include <QTextLayout>

// A storage run selects one row of each pending list per file, the lists roll by one row,
// and the progress bar moves. These keep what the user sees exactly as the style draws it,
// but draw less.

// Draws each text item once per look (text, state, size, palette, font) and keeps the
// picture: a row is drawn unselected when it scrolls in and again after its file, and the
// folder list shows one text for all the files of a folder. Items with anything but text
// on a plain background are drawn as usual.
//
// Under the styles whose item is the common one (background, then the text's layout, then
// the focus frame), a text is laid out once for all its looks and its glyphs are drawn on
// the style's own background of the look: laying out (shaping) cost more than drawing.
class TCachedItemDelegate : public QStyledItemDelegate {
public:
    explicit TCachedItemDelegate(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    // Pictures kept.
    qsizetype pictures() const { return pictures_.count(); }
    // Pictures whose text was drawn from a kept layout on the style's background.
    qsizetype picturesFromLayouts() const { return fromLayouts_; }

    // Everything the style's drawing of a text item depends on.
    struct Look {
        const QStyle* style;
        QRgb ground; // the view's background under the item
        QString text;
        QFont font;
        qint64 palette;
        int colorGroup;
        uint state, features, alignment, elide, direction;
        QSize size;
        qreal dpr;
        int format;
        bool operator==(const Look&) const = default;
    };

private:
    // A text as the style lays it out in its item: the line, elided as the style elides
    // it, and where it goes.
    struct Text {
        QTextLayout layout;
        QPointF at;
    };
    const Text* textOf(const QStyleOptionViewItem& opt, const QStyle* style, const Look& key) const;
    // The look's background and frame, without its text.
    const QImage* background(const QStyleOptionViewItem& opt, const QStyle* style, const Look& key,
                             const QColor& fill) const;

    mutable QCache<Look, QImage> pictures_;
    mutable QCache<Look, QImage> grounds_;
    mutable QCache<Look, Text> texts_;
    mutable QHash<Look, QRect> textRects_; // where the text goes, whatever it is
    mutable qsizetype fromLayouts_ = 0;
};

size_t qHash(const TCachedItemDelegate::Look& look, size_t seed = 0);

// A scroll bar that repaints on a change of value only when its look changes (over a
// long list, moving by one row moves the slider by less than a pixel), and then only about
// the slider when nothing else changed.
class TLazyScrollBar : public QScrollBar {
public:
    using QScrollBar::QScrollBar;

protected:
    void sliderChange(SliderChange change) override;
    void paintEvent(QPaintEvent* event) override;

private:
    struct Look {
        QRect slider;
        bool atMinimum = false;
        bool atMaximum = false;
        QStyle::State state;
        QStyle::SubControls active;
        bool operator==(const Look&) const = default;
    };
    Look look() const;

    Look painted_;
    bool paintedOnce_ = false;
};

// A progress bar whose maximum is 0 shows an empty bar, not a busy indicator.
//
// A run moves the bar at every file, and QProgressBar repaints it whole when a step shows,
// though under Fusion and Windows a step changes only the columns about the end of the
// filled part. The bar is kept as a picture on its parent's background, and a change of
// value redraws only those columns of it before the picture is shown; which steps are
// repainted is still QProgressBar's choice.
class TProgressBar : public QProgressBar {
public:
    using QProgressBar::QProgressBar;

    // Paints that redrew only the columns a change of value moved.
    qsizetype partialDrawings() const { return partial_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void initStyleOption(QStyleOptionProgressBar* option) const override;

private:
    // Everything the bar's drawing depends on but its value.
    struct Look {
        const QStyle* style = nullptr;
        QRgb ground = 0;
        qint64 palette = 0;
        int colorGroup = 0;
        uint state = 0, direction = 0;
        QSize size;
        int minimum = 0, maximum = 0;
        bool inverted = false, bottomToTop = false;
        QFont font;
        qreal dpr = 1;
        int format = 0;
        bool operator==(const Look&) const = default;
    };
    void paintAsTheStyle(QPaintEvent* event);

    Look look_;
    int value_ = 0; // the value the picture shows
    QImage picture_;
    bool offside_ = false;
    qsizetype partial_ = 0;
};
