// A table cell that shows a size text and sorts by the byte count behind it: "493.36 KB" is
// larger than "50.51 KB" though it sorts before it as text.
#pragma once
#include <QTableWidgetItem>
#include <cstdint>

class SizeTableItem : public QTableWidgetItem {
 public:
  static const int kBytesRole = Qt::UserRole + 2;

  SizeTableItem(const QString& text, uint64_t bytes) : QTableWidgetItem(text) {
    setData(kBytesRole, QVariant::fromValue<qulonglong>(bytes));
  }
  bool operator<(const QTableWidgetItem& other) const override {
    const QVariant theirs = other.data(kBytesRole);
    if (!theirs.isValid()) return QTableWidgetItem::operator<(other);
    return data(kBytesRole).toULongLong() < theirs.toULongLong();
  }
};
