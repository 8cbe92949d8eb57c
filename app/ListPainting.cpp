#include "ListPainting.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QImage>
#include <QPaintEngine>
#include <QPainter>
#include <QStyleOptionSlider>
#include <QStyleOptionViewItem>
#include <cmath>

namespace {

constexpr int kPictures = 64; // a few screens of rows; each picture is one row

} // namespace

size_t qHash(const TCachedItemDelegate::Look& look, size_t seed) {
    // The font compares in full but is left out of the hash: its hash builds a text.
    return qHashMulti(seed, look.text, look.palette, look.state, look.size.width(),
                      look.size.height(), look.format);
}

TCachedItemDelegate::TCachedItemDelegate(QObject* parent)
    : QStyledItemDelegate(parent), pictures_(kPictures) {}

void TCachedItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const auto* view = qobject_cast<const QAbstractItemView*>(opt.widget);
    // The picture starts from the background the view paints under its items: only a
    // plain colour, the same whether the window is active or not, can be matched.
    const QWidget* viewport = view ? view->viewport() : nullptr;
    const QPalette::ColorRole role = viewport ? viewport->backgroundRole() : QPalette::Base;
    const QBrush ground = viewport ? viewport->palette().brush(QPalette::Active, role) : QBrush();
    const bool plain =
        viewport && viewport->autoFillBackground() && ground.style() == Qt::SolidPattern &&
        ground.color().alpha() == 255 &&
        ground == viewport->palette().brush(QPalette::Inactive, role) &&
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
    const QPaintDevice* target = painter->paintEngine() ? painter->paintEngine()->paintDevice()
                                                       : nullptr;
    const qreal dpr = target ? target->devicePixelRatioF() : 1;
    if (!target || target->devType() != QInternal::Image || dpr != std::round(dpr)) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const QImage::Format format = static_cast<const QImage*>(target)->format();
    const Look key{opt.text,
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
    auto* picture = new QImage(opt.rect.size() * dpr, format);
    picture->setDevicePixelRatio(dpr);
    picture->fill(ground.color());
    {
        QPainter p(picture);
        QStyleOptionViewItem at = opt;
        at.rect.moveTopLeft(QPoint(0, 0));
        const QWidget* widget = opt.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &at, &p, widget);
    }
    painter->drawImage(opt.rect.topLeft(), *picture);
    pictures_.insert(key, picture);
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
        !style()->styleHint(QStyle::SH_ScrollBar_Transient, nullptr, this) &&
        look() == painted_)
        return;
    QScrollBar::sliderChange(change);
}

void TLazyScrollBar::paintEvent(QPaintEvent* event) {
    QScrollBar::paintEvent(event);
    painted_ = look();
    paintedOnce_ = true;
}
