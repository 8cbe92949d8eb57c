#pragma once

#include <QCache>
#include <QFont>
#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>
#include <QScrollBar>
#include <QStyle>
#include <QStyledItemDelegate>

// A storage run selects one row of each pending list per file, and the lists roll by one
// row. These two keep what the user sees exactly as the style draws it, but draw less.

// Draws each text item once per look (text, state, size, palette, font) and keeps the
// picture: a row is drawn unselected when it scrolls in and again after its file, and the
// folder list shows one text for all the files of a folder. Items with anything but text
// on a plain background are drawn as usual.
class TCachedItemDelegate : public QStyledItemDelegate {
public:
    explicit TCachedItemDelegate(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    // Pictures kept.
    qsizetype pictures() const { return pictures_.count(); }

    // Everything the style's drawing of a text item depends on.
    struct Look {
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
    mutable QCache<Look, QImage> pictures_;
};

size_t qHash(const TCachedItemDelegate::Look& look, size_t seed = 0);

// A scroll bar that repaints on a change of value only when its look changes: over a
// long list, moving by one row moves the slider by less than a pixel.
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
