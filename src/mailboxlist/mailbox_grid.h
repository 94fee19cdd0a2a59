#pragma once
// The window's mailbox list grid (grdFiles1): a single-column grid of text cells, one full
// mailbox path per row, in the manner of a flex grid. It never has zero rows; the empty
// list is one row with empty text. Cells are pale yellow, the current cell highlighted, the
// area beyond the cells white. The user moves the current cell with the mouse and keys but
// cannot edit; the column is wider than the grid, which scrolls sideways.
//
// Rows are kept in a vector and only the visible rows are painted, so adding a row costs the
// same whatever the length of the list.

#include <QAbstractScrollArea>
#include <QColor>
#include <QString>
#include <vector>

namespace quill {

class MailboxGrid : public QAbstractScrollArea {
    Q_OBJECT
  public:
    static constexpr int kDefaultColumnWidth = 1000;  // 15000 twips
    static inline const QColor kCellColour{255, 255, 191};

    explicit MailboxGrid(QWidget* parent = nullptr);

    int rows() const { return static_cast<int>(cells_.size()); }
    // Grows with empty rows or drops rows from the end; never below one row.
    void setRows(int rows);
    int cols() const { return 1; }
    int fixedRows() const { return 0; }

    // The current cell's row.
    int row() const { return current_; }
    void setRow(int row);

    QString text(int row) const;
    void setText(int row, const QString& text);
    QString currentText() const { return text(current_); }

    // Empties every cell; the shape, column width and current cell stay.
    void clearTexts();

    int columnWidth() const { return columnWidth_; }
    void setColumnWidth(int pixels);
    int rowHeight() const { return rowHeight_; }

  signals:
    void currentRowChanged(int row);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    QSize sizeHint() const override;

  private:
    void updateScrollBars();
    void ensureVisible(int row);
    void updateRow(int row);
    int visibleRows() const;

    std::vector<QString> cells_;
    int current_ = 0;
    int columnWidth_ = kDefaultColumnWidth;
    int rowHeight_ = 16;
};

}  // namespace quill
