#include "ListPainting.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QImage>
#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>
#include <QStyleOptionProgressBar>
#include <QStyleOptionSlider>
#include <QStyleOptionViewItem>
#include <QStylePainter>
#include <QTextLine>
#include <QTextOption>
#include <algorithm>
#include <cmath>
#include <memory>
#include <tuple>
#include <utility>

namespace {

constexpr int kPictures = 64; // a few screens of rows; each picture is one row
constexpr int kGrounds = 16;  // a look's background: selected or not, active or not

// Styles that draw a text item as the common style does: the panel, then the text laid
// out by QTextLayout in the text rectangle less the focus margins, then the focus frame.
bool commonItem(const QStyle* style) {
    const QString name = style->name();
    return name == QLatin1String("fusion") || name == QLatin1String("windows");
}

// One line of plain text, as the style draws it (no wrapping, no line breaks, no
// variants for the elision to choose from).
bool oneLine(const QString& text) {
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\n' || u == u'\r' || u == QChar::LineSeparator ||
            u == QChar::ParagraphSeparator || u == 0x9c)
            return false;
    }
    return true;
}

QTextLine layOut(QTextLayout& layout, const QTextOption& option, int width) {
    layout.setTextOption(option);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    line.setLineWidth(width);
    line.setPosition(QPointF(0, 0));
    layout.endLayout();
    return line;
}

} // namespace

size_t qHash(const TCachedItemDelegate::Look& look, size_t seed) {
    // The font compares in full but is left out of the hash: its hash builds a text.
    return qHashMulti(seed, look.style, look.ground, look.text, look.palette, look.state,
                      look.size.width(), look.size.height(), look.format);
}

TCachedItemDelegate::TCachedItemDelegate(QObject* parent)
    : QStyledItemDelegate(parent), pictures_(kPictures), grounds_(kGrounds), texts_(kPictures) {}

void TCachedItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const auto* view = qobject_cast<const QAbstractItemView*>(opt.widget);
    // The picture starts from the background the view paints under its items, as it
    // stands (disabled, inactive): only a plain colour can be matched.
    const QWidget* viewport = view ? view->viewport() : nullptr;
    const QPalette::ColorRole role = viewport ? viewport->backgroundRole() : QPalette::Base;
    const QBrush ground = viewport ? viewport->palette().brush(role) : QBrush();
    const bool plain =
        viewport && viewport->autoFillBackground() && ground.style() == Qt::SolidPattern &&
        ground.color().alpha() == 255 &&
        (opt.features & ~(QStyleOptionViewItem::HasDisplay | QStyleOptionViewItem::WrapText)) ==
            0 &&
        opt.backgroundBrush.style() == Qt::NoBrush && painter->transform().isIdentity() &&
        !opt.rect.isEmpty();
    if (!plain) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }

    // Drawn in the pixel format of the target and on whole device pixels, the picture
    // blends as the style's own drawing there would (its gradients may round one step of
    // a colour apart at another place).
    const QPaintDevice* target =
        painter->paintEngine() ? painter->paintEngine()->paintDevice() : nullptr;
    const qreal dpr = target ? target->devicePixelRatioF() : 1;
    if (!target || target->devType() != QInternal::Image || dpr != std::round(dpr)) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const QImage::Format format = static_cast<const QImage*>(target)->format();
    const QWidget* widget = opt.widget;
    const QStyle* style = widget ? widget->style() : QApplication::style();
    const Look key{style,
                   ground.color().rgb(),
                   opt.text,
                   opt.font,
                   opt.palette.cacheKey(),
                   int(opt.palette.currentColorGroup()),
                   uint(opt.state),
                   uint(opt.features),
                   uint(opt.displayAlignment),
                   uint(opt.textElideMode),
                   uint(opt.direction),
                   opt.rect.size(),
                   dpr,
                   int(format)};
    if (const QImage* picture = pictures_.object(key)) {
        painter->drawImage(opt.rect.topLeft(), *picture);
        return;
    }
    QStyleOptionViewItem at = opt;
    at.rect.moveTopLeft(QPoint(0, 0));
    QImage* picture = nullptr;
    // The style draws the focus frame over the text, and a frame around an item being
    // edited: those items it draws whole.
    if (commonItem(style) && oneLine(opt.text) &&
        !(opt.state & (QStyle::State_HasFocus | QStyle::State_Editing)) &&
        !(opt.features & QStyleOptionViewItem::WrapText)) {
        const Text* text = textOf(at, style, key);
        const QImage* back = text ? background(at, style, key, ground.color()) : nullptr;
        if (back) {
            picture = new QImage(*back);
            QPainter p(picture);
            // The text's colour as the style picks it.
            QPalette::ColorGroup group =
                opt.state & QStyle::State_Enabled ? QPalette::Normal : QPalette::Disabled;
            if (group == QPalette::Normal && !(opt.state & QStyle::State_Active))
                group = QPalette::Inactive;
            p.setPen(opt.palette.color(group, opt.state & QStyle::State_Selected
                                                  ? QPalette::HighlightedText
                                                  : QPalette::Text));
            text->layout.draw(&p, text->at);
            ++fromLayouts_;
        }
    }
    if (!picture) {
        picture = new QImage(opt.rect.size() * dpr, format);
        picture->setDevicePixelRatio(dpr);
        picture->fill(ground.color());
        QPainter p(picture);
        style->drawControl(QStyle::CE_ItemViewItem, &at, &p, widget);
    }
    painter->drawImage(opt.rect.topLeft(), *picture);
    pictures_.insert(key, picture);
}

const TCachedItemDelegate::Text* TCachedItemDelegate::textOf(const QStyleOptionViewItem& opt,
                                                             const QStyle* style,
                                                             const Look& key) const {
    // Laid out the same in every state and palette.
    Look where = key;
    where.palette = 0;
    where.colorGroup = 0;
    where.state = 0;
    where.format = 0;
    if (const Text* text = texts_.object(where))
        return text;
    const QWidget* widget = opt.widget;
    // The text's rectangle is the item's less the check mark and the icon, whatever the
    // text: asked without it, the style lays out no text for it.
    Look bareKey = where;
    bareKey.text.clear();
    if (textRects_.size() > kPictures)
        textRects_.clear();
    auto known = textRects_.constFind(bareKey);
    if (known == textRects_.constEnd()) {
        QStyleOptionViewItem bare = opt;
        bare.text.clear();
        QRect r = style->subElementRect(QStyle::SE_ItemViewItemText, &bare, widget);
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
        known = textRects_.insert(bareKey, r.adjusted(margin, 0, -margin, 0));
    }
    const QRect rect = *known;
    QTextOption option;
    option.setWrapMode(QTextOption::ManualWrap);
    option.setTextDirection(opt.direction);
    option.setAlignment(QStyle::visualAlignment(opt.direction, opt.displayAlignment));
    // The whole text decides the elision and the line's height; the line drawn is the
    // elided one, from the left of the rectangle.
    auto text = std::make_unique<Text>();
    text->layout.setText(opt.text);
    text->layout.setFont(opt.font);
    text->layout.setCacheEnabled(true); // the glyphs stay for every drawing
    const QTextLine line = layOut(text->layout, option, rect.width());
    if (text->layout.lineCount() != 1 || line.textLength() != opt.text.size())
        return nullptr;
    const QRect placed = QStyle::alignedRect(Qt::LayoutDirectionAuto, opt.displayAlignment,
                                             text->layout.boundingRect().size().toSize(), rect);
    text->at = QPointF(rect.x(), placed.top());
    if (line.naturalTextWidth() > rect.width()) {
        text->layout.clearLayout();
        text->layout.setText(
            QFontMetrics(opt.font).elidedText(opt.text, opt.textElideMode, rect.width()));
        layOut(text->layout, option, rect.width());
    }
    const Text* kept = text.get();
    texts_.insert(where, text.release());
    return kept;
}

const QImage* TCachedItemDelegate::background(const QStyleOptionViewItem& opt, const QStyle* style,
                                              const Look& key, const QColor& fill) const {
    Look bare = key;
    bare.text.clear();
    if (const QImage* back = grounds_.object(bare))
        return back;
    QStyleOptionViewItem empty = opt;
    empty.text.clear();
    auto* back = new QImage(opt.rect.size() * key.dpr, QImage::Format(key.format));
    back->setDevicePixelRatio(key.dpr);
    back->fill(fill);
    {
        QPainter p(back);
        style->drawControl(QStyle::CE_ItemViewItem, &empty, &p, opt.widget);
    }
    grounds_.insert(bare, back);
    return back;
}

TLazyScrollBar::Look TLazyScrollBar::look() const {
    QStyleOptionSlider opt;
    initStyleOption(&opt);
    return {style()->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarSlider, this),
            value() == minimum(), value() == maximum(), opt.state, opt.activeSubControls};
}

void TLazyScrollBar::sliderChange(SliderChange change) {
    // What is on the screen is what the last paint drew; a value that draws the same
    // needs no new paint (a pending one draws the new value anyway).
    if (change == SliderValueChange && paintedOnce_ &&
        !style()->styleHint(QStyle::SH_ScrollBar_Transient, nullptr, this)) {
        const Look agora = look();
        if (agora == painted_)
            return;
        // Only the slider moved: the bar is repainted where it was and where it is, with a
        // margin for its frame. A tall repaint is also slow: the painter shares fills of
        // many lines out to other threads and waits for them.
        Look soSlider = agora;
        soSlider.slider = painted_.slider;
        if (soSlider == painted_) {
            constexpr int kMargem = 4;
            update(painted_.slider.united(agora.slider)
                       .adjusted(-kMargem, -kMargem, kMargem, kMargem)
                       .intersected(rect()));
            return;
        }
    }
    QScrollBar::sliderChange(change);
}

void TLazyScrollBar::paintEvent(QPaintEvent* event) {
    QScrollBar::paintEvent(event);
    painted_ = look();
    paintedOnce_ = true;
}

void TProgressBar::initStyleOption(QStyleOptionProgressBar* option) const {
    QProgressBar::initStyleOption(option);
    if (offside_)
        option->rect.translate(-2 * option->rect.right() - 100, 0);
}

void TProgressBar::paintAsTheStyle(QPaintEvent* event) {
    if (maximum() > minimum()) {
        QProgressBar::paintEvent(event);
        return;
    }
    QStylePainter painter(this);
    QStyleOptionProgressBar opt;
    initStyleOption(&opt);
    opt.minimum = 0;
    opt.maximum = 1;
    opt.progress = 0;
    painter.drawControl(QStyle::CE_ProgressBar, opt);
}

void TProgressBar::paintEvent(QPaintEvent* event) {
    const QWidget* parent = parentWidget();
    // Where this paint goes: the window's backing store, or what the bar is rendered into.
    const QPaintDevice* target = redirected(nullptr);
    const qreal dpr = target ? target->devicePixelRatioF() : 1;
    const QBrush ground = parent ? parent->palette().brush(parent->backgroundRole()) : QBrush();
    QStyleOptionProgressBar opt;
    initStyleOption(&opt);
    // The picture is drawn on the background the parent paints under the bar, in the
    // target's pixel format and on whole device pixels, so that it blends as the bar's
    // own paint there would.
    const bool kept = commonItem(style()) && maximum() > minimum() && !opt.textVisible &&
                      (opt.state & QStyle::State_Horizontal) && parent &&
                      parent->autoFillBackground() && !autoFillBackground() &&
                      ground.style() == Qt::SolidPattern && ground.color().alpha() == 255 &&
                      target && target->devType() == QInternal::Image && dpr == std::round(dpr) &&
                      !rect().isEmpty();
    if (!kept) {
        paintAsTheStyle(event);
        return;
    }
    const Look look{style(),
                    ground.color().rgb(),
                    opt.palette.cacheKey(),
                    int(opt.palette.currentColorGroup()),
                    uint(opt.state),
                    uint(opt.direction),
                    size(),
                    opt.minimum,
                    opt.maximum,
                    opt.invertedAppearance,
                    opt.bottomToTop,
                    font(),
                    dpr,
                    int(static_cast<const QImage*>(target)->format())};
    QRect redraw;
    if (picture_.isNull() || look != look_) {
        picture_ = QImage(size() * dpr, QImage::Format(look.format));
        picture_.setDevicePixelRatio(dpr);
        redraw = rect();
    } else if (opt.progress != value_) {
        // The columns between the two ends of the filled part, and a chunk's width about
        // them: what the style draws around an end (a rounded corner, a chunk) lies there.
        const QRect groove = style()->subElementRect(QStyle::SE_ProgressBarContents, &opt, this);
        const qint64 steps = qint64(opt.maximum) - opt.minimum;
        auto end = [&](int value) {
            return groove.left() +
                   int(qint64(groove.width()) * (qint64(value) - opt.minimum) / steps);
        };
        int from = std::min(end(value_), end(opt.progress));
        int to = std::max(end(value_), end(opt.progress));
        // A bar filled from the right (right to left, or inverted) mirrors the columns.
        if ((opt.direction == Qt::RightToLeft) != opt.invertedAppearance) {
            const int mirrored = groove.left() + groove.right();
            std::tie(from, to) = std::pair(mirrored - to, mirrored - from);
        }
        const int margin = style()->pixelMetric(QStyle::PM_ProgressBarChunkWidth, &opt, this) + 4;
        redraw = QRect(QPoint(from - margin, 0), QPoint(to + margin, height() - 1)) & rect();
        ++partial_;
    }
    if (!redraw.isEmpty()) {
        // Those columns alone, drawn on a picture of their own: the style sets clips of its
        // own, and only the picture's edges bound what it draws. The painter starts as one
        // on the bar itself does (QStylePainter).
        QImage columns(redraw.size() * dpr, QImage::Format(look.format));
        columns.setDevicePixelRatio(dpr);
        columns.fill(ground.color());
        {
            QPainter p(&columns);
            p.setRenderHint(QPainter::SmoothPixmapTransform);
            p.setLayoutDirection(layoutDirection());
            p.setPen(QPen(palette().brush(foregroundRole()), 1));
            p.setBackground(palette().brush(backgroundRole()));
            p.setFont(font());
            p.translate(-redraw.topLeft());
            style()->drawControl(QStyle::CE_ProgressBar, &opt, &p, this);
        }
        QPainter(&picture_).drawImage(redraw.topLeft(), columns);
        look_ = look;
        value_ = opt.progress;
    }
    // QProgressBar keeps the value it last painted, to tell which later values need a
    // repaint: its own paint keeps it, with the bar placed outside what it paints on.
    offside_ = true;
    QProgressBar::paintEvent(event);
    offside_ = false;
    QPainter painter(this);
    painter.drawImage(0, 0, picture_);
}
