#include "mailboxlist/mailbox_grid.h"

#include <QEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <algorithm>

namespace quill {

namespace {
const QColor kGridLineColour(192, 192, 192);
constexpr int kTextMargin = 3;
}  // namespace

MailboxGrid::MailboxGrid(QWidget* parent) : QAbstractScrollArea(parent), cells_(1) {
    setFocusPolicy(Qt::StrongFocus);
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    horizontalScrollBar()->setFocusPolicy(Qt::NoFocus);
    verticalScrollBar()->setFocusPolicy(Qt::NoFocus);
    viewport()->setAutoFillBackground(true);
    QPalette pal = viewport()->palette();
    pal.setColor(QPalette::Base, Qt::white);
    viewport()->setPalette(pal);
    viewport()->setBackgroundRole(QPalette::Base);
    rowHeight_ = std::max(16, fontMetrics().height() + 3);
    updateScrollBars();
}

void MailboxGrid::setRows(int rows) {
    rows = std::max(rows, 1);
    if (rows == this->rows()) return;
    bool shrinking = rows < this->rows();
    cells_.resize(static_cast<std::size_t>(rows));
    if (current_ >= rows) {
        current_ = rows - 1;
        emit currentRowChanged(current_);
    }
    updateScrollBars();
    // Growing paints only the new rows if they are in sight; shrinking may expose anything.
    if (shrinking)
        viewport()->update();
    else
        updateRow(rows - 1);
}

void MailboxGrid::setRow(int row) {
    row = std::clamp(row, 0, rows() - 1);
    if (row == current_) {
        ensureVisible(row);
        return;
    }
    int previous = current_;
    current_ = row;
    updateRow(previous);
    updateRow(current_);
    ensureVisible(current_);
    emit currentRowChanged(current_);
}

QString MailboxGrid::text(int row) const {
    if (row < 0 || row >= rows()) return {};
    return cells_[static_cast<std::size_t>(row)];
}

void MailboxGrid::setText(int row, const QString& text) {
    if (row < 0 || row >= rows()) return;
    cells_[static_cast<std::size_t>(row)] = text;
    updateRow(row);
}

void MailboxGrid::clearTexts() {
    for (QString& cell : cells_) cell.clear();
    viewport()->update();
}

void MailboxGrid::setColumnWidth(int pixels) {
    columnWidth_ = std::max(pixels, 0);
    updateScrollBars();
    viewport()->update();
}

QSize MailboxGrid::sizeHint() const {
    return {200, rowHeight_ * 6};
}

int MailboxGrid::visibleRows() const {
    return std::max(1, viewport()->height() / rowHeight_);
}

void MailboxGrid::updateScrollBars() {
    QScrollBar* vertical = verticalScrollBar();
    vertical->setRange(0, std::max(0, rows() - visibleRows()));
    vertical->setPageStep(visibleRows());
    vertical->setSingleStep(1);
    QScrollBar* horizontal = horizontalScrollBar();
    horizontal->setRange(0, std::max(0, columnWidth_ - viewport()->width()));
    horizontal->setPageStep(viewport()->width());
    horizontal->setSingleStep(20);
}

void MailboxGrid::ensureVisible(int row) {
    QScrollBar* vertical = verticalScrollBar();
    int top = vertical->value();
    // A row counts as in sight only when it is whole.
    int whole = std::max(1, visibleRows());
    if (row < top)
        vertical->setValue(row);
    else if (row >= top + whole)
        vertical->setValue(row - whole + 1);
}

void MailboxGrid::updateRow(int row) {
    int y = (row - verticalScrollBar()->value()) * rowHeight_;
    if (y + rowHeight_ < 0 || y > viewport()->height()) return;
    viewport()->update(0, y, viewport()->width(), rowHeight_);
}

void MailboxGrid::scrollContentsBy(int, int) {
    viewport()->update();
}

void MailboxGrid::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
}

void MailboxGrid::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    const QRect area = event->rect();
    const int left = -horizontalScrollBar()->value();
    const int first = verticalScrollBar()->value() + std::max(0, area.top() / rowHeight_);
    const int last =
        std::min(rows() - 1, verticalScrollBar()->value() + area.bottom() / rowHeight_);
    const bool active = isEnabled();
    for (int row = first; row <= last; ++row) {
        QRect cell(left, (row - verticalScrollBar()->value()) * rowHeight_, columnWidth_,
                   rowHeight_);
        // The current cell is highlighted; the empty list's one blank row is not, so that
        // an empty list does not look like a chosen blank entry.
        bool current = row == current_ && !cells_[static_cast<std::size_t>(row)].isEmpty();
        QPalette::ColorGroup group = hasFocus() ? QPalette::Active : QPalette::Inactive;
        painter.fillRect(
            cell, current && active ? palette().color(group, QPalette::Highlight) : kCellColour);
        painter.setPen(kGridLineColour);
        painter.drawLine(cell.left(), cell.bottom(), cell.right(), cell.bottom());
        painter.drawLine(cell.right(), cell.top(), cell.right(), cell.bottom());
        painter.setPen(current && active ? palette().color(group, QPalette::HighlightedText)
                                         : palette().color(QPalette::Text));
        painter.drawText(cell.adjusted(kTextMargin, 0, -kTextMargin, -1),
                         Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                         cells_[static_cast<std::size_t>(row)]);
        if (row == current_ && hasFocus()) {
            QStyleOptionFocusRect focus;
            focus.initFrom(this);
            focus.rect = cell.adjusted(0, 0, -1, -1);
            focus.backgroundColor = palette().color(group, QPalette::Highlight);
            style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
        }
    }
}

void MailboxGrid::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
    int y = static_cast<int>(event->position().y());
    int x = static_cast<int>(event->position().x()) + horizontalScrollBar()->value();
    int row = verticalScrollBar()->value() + y / rowHeight_;
    if (row < rows() && x < columnWidth_) setRow(row);
}

void MailboxGrid::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Up:
            setRow(current_ - 1);
            break;
        case Qt::Key_Down:
            setRow(current_ + 1);
            break;
        case Qt::Key_PageUp:
            setRow(current_ - visibleRows());
            break;
        case Qt::Key_PageDown:
            setRow(current_ + visibleRows());
            break;
        case Qt::Key_Home:
            if (event->modifiers() & Qt::ControlModifier) setRow(0);
            horizontalScrollBar()->setValue(0);
            break;
        case Qt::Key_End:
            if (event->modifiers() & Qt::ControlModifier) setRow(rows() - 1);
            horizontalScrollBar()->setValue(horizontalScrollBar()->maximum());
            break;
        case Qt::Key_Left:
            horizontalScrollBar()->triggerAction(QScrollBar::SliderSingleStepSub);
            break;
        case Qt::Key_Right:
            horizontalScrollBar()->triggerAction(QScrollBar::SliderSingleStepAdd);
            break;
        default:
            QAbstractScrollArea::keyPressEvent(event);
            return;
    }
}

void MailboxGrid::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) {
        rowHeight_ = std::max(16, fontMetrics().height() + 3);
        updateScrollBars();
    }
    QAbstractScrollArea::changeEvent(event);
}

void MailboxGrid::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    updateRow(current_);
}

void MailboxGrid::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    updateRow(current_);
}

}  // namespace quill
