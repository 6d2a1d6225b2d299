#include "ui/config_page.h"

#include <QAbstractItemView>
#include <QDBusArgument>
#include <QFocusEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPalette>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "ui/server_link.h"
#include "ui/strings.h"

namespace belmor::korvex::ui {

namespace {

// The background of an edit whose value the server refused.
const QColor kRefusedBase(255, 190, 190);

// A list property as the bus hands it over: a string list, or still
// marshalled when Qt did not know the type at the time.
QStringList ListOf(const QVariant& value) {
  if (value.canConvert<QDBusArgument>()) {
    QStringList list;
    value.value<QDBusArgument>() >> list;
    return list;
  }
  return value.toStringList();
}

int FirstBeginningWith(const QStringList& items, const QString& prefix) {
  for (int i = 0; i < items.size(); ++i)
    if (items[i].startsWith(prefix, Qt::CaseInsensitive)) return i;
  return -1;
}

// Puts the items into a box and selects one; a box whose list is open keeps
// it, so the entry under the mouse does not move.
void Fill(QComboBox* box, const QStringList& items, int selected) {
  if (box->view()->isVisible()) return;
  const QSignalBlocker blocker(box);
  QStringList current;
  for (int i = 0; i < box->count(); ++i) current << box->itemText(i);
  if (current != items) {
    box->clear();
    box->addItems(items);
  }
  box->setCurrentIndex(selected);
}

QComboBox* DropDownList(QWidget* parent) {
  auto* box = new QComboBox(parent);
  // A long name must not widen the window: the box shows what fits.
  box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  box->setMinimumContentsLength(12);
  box->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  box->setMaxVisibleItems(8);
  return box;
}

}  // namespace

int SelectTrustCenter(const QStringList& items, const QString& center) {
  if (center.isEmpty()) return -1;
  return FirstBeginningWith(items, center);
}

int SelectLogin(const QStringList& items, const QString& login) {
  if (login.isEmpty()) return -1;
  for (int i = 0; i < items.size(); ++i)
    if (items[i].compare(login, Qt::CaseInsensitive) == 0) return i;
  const qsizetype blank = login.indexOf(' ');
  return FirstBeginningWith(items, blank >= 0 ? login.left(blank) : login + ' ');
}

ConfigPage::ConfigPage(ServerLink& server, QWidget* parent)
    : QWidget(parent),
      server_(server),
      browse_([](QWidget* owner, const QString& start) {
        return QFileDialog::getExistingDirectory(owner, QString(), start);
      }) {
  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(10, 10, 10, 10);
  grid->setHorizontalSpacing(8);
  grid->setVerticalSpacing(8);
  grid->setColumnStretch(1, 1);

  centers_ = DropDownList(this);
  grid->addWidget(new QLabel(Text(131), this), 0, 0);
  grid->addWidget(centers_, 0, 1, 1, 2);
  grid->setRowMinimumHeight(1, 14);

  AddEdit(kInputDirectory, "inputDirectory", 132, false);
  AddEdit(kOutputDirectory, "outputDirectory", 155, false);
  AddEdit(kWorkDirectory, "workDirectory", 133, false);
  AddEdit(kZsrFilter, "zsrDownFilter", 207, true);
  for (int i = kInputDirectory; i <= kWorkDirectory; ++i) {
    Field& field = fields_[i];
    field.browse = new QPushButton(Text(137), this);
    grid->addWidget(new QLabel(Text(field.label), this), 2 + i, 0);
    grid->addWidget(field.edit, 2 + i, 1);
    grid->addWidget(field.browse, 2 + i, 2);
    connect(field.browse, &QPushButton::clicked, this, [this, &field] { Browse(field); });
  }
  grid->setRowMinimumHeight(5, 8);

  // The filter's label is long: it wraps beside its edit, which starts
  // further right than the directories'.
  auto* filterRow = new QHBoxLayout;
  filterRow->setSpacing(8);
  auto* filterLabel = new QLabel(Text(207), this);
  filterLabel->setWordWrap(true);
  filterLabel->setMinimumWidth(210);
  filterLabel->setMaximumWidth(260);
  filterRow->addWidget(filterLabel);
  filterRow->addWidget(fields_[kZsrFilter].edit, 1, Qt::AlignVCenter);
  grid->addLayout(filterRow, 6, 0, 1, 3);

  archive_ = new QCheckBox(this);
  archive_->setAccessibleName(Text(135));
  auto* archiveLabel = new QLabel(Text(135), this);
  archiveLabel->setBuddy(archive_);
  grid->addWidget(archiveLabel, 7, 0);
  grid->addWidget(archive_, 7, 1, Qt::AlignLeft);

  logins_ = DropDownList(this);
  grid->addWidget(new QLabel(Text(136), this), 8, 0);
  grid->addWidget(logins_, 8, 1, 1, 2);

  // A tooltip alone would show the reason only to a user who hovers there.
  notice_ = new QLabel(this);
  notice_->setWordWrap(true);
  notice_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  QPalette noticePalette = notice_->palette();
  noticePalette.setColor(QPalette::WindowText, QColor(170, 0, 0));
  notice_->setPalette(noticePalette);
  notice_->hide();
  grid->setRowMinimumHeight(9, 8);
  grid->addWidget(notice_, 10, 0, 1, 3);
  grid->setRowStretch(11, 1);

  // activated, not currentIndexChanged: only the user's choice is sent, not
  // the page's own filling of the boxes.
  connect(centers_, &QComboBox::activated, this, &ConfigPage::ChooseCenter);
  connect(logins_, &QComboBox::activated, this, &ConfigPage::ChooseLogin);
  connect(archive_, &QCheckBox::clicked, this, &ConfigPage::SetArchive);
  connect(&server_, &ServerLink::PropertiesChanged, this, &ConfigPage::OnPropertiesChanged);
  connect(&server_, &ServerLink::ServerBack, this, &ConfigPage::Refresh);
  Refresh();
}

void ConfigPage::AddEdit(Edit edit, const char* property, int label, bool allowEmpty) {
  Field& field = fields_[edit];
  field.property = property;
  field.label = label;
  field.allowEmpty = allowEmpty;
  field.edit = new QLineEdit(this);
  connect(field.edit, &QLineEdit::returnPressed, this, [this, &field] { Finish(field); });
  // The focus leaving ends the editing too, see eventFilter.
  field.edit->installEventFilter(this);
}

bool ConfigPage::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusOut) {
    // Not editingFinished: that also comes when the window merely loses
    // the focus, the user looking up a path elsewhere or closing the
    // monitor mid-word. The field keeps its focus within the window then,
    // and its half-typed text must not be saved.
    const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
    if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
      for (Field& field : fields_)
        if (field.edit == watched) Finish(field);
  }
  return QWidget::eventFilter(watched, event);
}

void ConfigPage::Refresh() {
  LoadCenters();
  for (Field& field : fields_) Load(field);
  LoadArchive();
  LoadLogins();
}

void ConfigPage::showEvent(QShowEvent* event) {
  // A new HIN login or a new configuration may have changed the lists
  // since; neither is announced.
  Refresh();
  QWidget::showEvent(event);
}

void ConfigPage::OnPropertiesChanged(const QStringList& names) {
  if (names.contains("trustCenter") || names.contains("trustCenters")) LoadCenters();
  for (Field& field : fields_)
    if (names.contains(field.property)) Load(field);
  if (names.contains("withArchive")) LoadArchive();
  if (names.contains("asasLogin") || names.contains("asasLogins")) LoadLogins();
}

bool ConfigPage::Editing(const Field& field) { return field.edit->hasFocus() && field.edit->isModified(); }

void ConfigPage::Load(Field& field) {
  const QVariant value = server_.Get(field.property);
  if (!value.isValid()) return;
  if (Editing(field)) {
    // Compared with when the user's editing ends.
    field.saved = value.toString();
    return;
  }
  Show(field, value.toString());
}

void ConfigPage::Show(Field& field, const QString& value) {
  field.saved = value;
  if (field.edit->text() != value) field.edit->setText(value);
  field.edit->setModified(false);
  MarkRefused(field, QString());
}

void ConfigPage::Finish(Field& field) {
  // Enter and the focus leaving afterwards both end the editing; only what
  // was typed since is sent.
  if (!field.edit->isModified()) return;
  field.edit->setModified(false);
  Put(field, field.edit->text());
}

void ConfigPage::Browse(Field& field) {
  const QString chosen = browse_(this, field.edit->text());
  if (chosen.isEmpty()) return;
  field.edit->setText(chosen);
  Put(field, chosen);
}

void ConfigPage::Put(Field& field, const QString& text) {
  if (text.isEmpty() && !field.allowEmpty) {
    // No directory at all is never a setting: the saved one comes back.
    Show(field, field.saved);
    return;
  }
  if (text == field.saved) {
    MarkRefused(field, QString());
    return;
  }
  if (!server_.Set(field.property, text)) {
    // The edit keeps the text, so the user can mend it.
    MarkRefused(field, server_.LastError().message());
    return;
  }
  // The server keeps its own form of the value (a directory with its
  // trailing slash, the filter trimmed): show that.
  const QVariant stored = server_.Get(field.property);
  Show(field, stored.isValid() ? stored.toString() : text);
}

void ConfigPage::MarkRefused(Field& field, const QString& reason) {
  field.refused = !reason.isEmpty();
  QPalette palette = field.edit->palette();
  palette.setColor(QPalette::Base, field.refused ? kRefusedBase : QWidget::palette().color(QPalette::Base));
  field.edit->setPalette(palette);
  field.edit->setToolTip(reason);
  ShowNotice(&field, field.label, reason);
}

void ConfigPage::ShowNotice(const void* control, int label, const QString& reason) {
  if (reason.isEmpty()) {
    if (noticeOwner_ != control) return;
    noticeOwner_ = nullptr;
    notice_->clear();
    notice_->hide();
    return;
  }
  // The result code leads the server's message; the words after it are
  // what the user can act on (the tooltip keeps the code).
  static const QRegularExpression code("^0x[0-9A-Fa-f]{8}: ");
  QString text = reason;
  text.remove(code);
  QString name = Text(label);
  if (name.endsWith(':')) name.chop(1);
  noticeOwner_ = control;
  notice_->setText(name + ": " + text);
  notice_->show();
}

void ConfigPage::LoadCenters() {
  const QVariant items = server_.Get("trustCenters");
  const QVariant center = server_.Get("trustCenter");
  if (!items.isValid() || !center.isValid()) return;
  const QStringList list = ListOf(items);
  Fill(centers_, list, SelectTrustCenter(list, center.toString()));
}

void ConfigPage::LoadLogins() {
  const QVariant items = server_.Get("asasLogins");
  const QVariant login = server_.Get("asasLogin");
  if (!login.isValid()) return;
  // No list (the server has no security client) is an empty box.
  const QStringList list = items.isValid() ? ListOf(items) : QStringList();
  Fill(logins_, list, SelectLogin(list, login.toString()));
}

void ConfigPage::LoadArchive() {
  const QVariant value = server_.Get("withArchive");
  if (value.isValid()) archive_->setChecked(value.toBool());
}

// After each choice the box shows what the server now holds; when the call
// failed and the server cannot be asked either, the user's choice stays.
void ConfigPage::ChooseCenter(int index) {
  if (index < 0) return;
  const bool taken = server_.Set("trustCenter", centers_->itemText(index));
  ShowNotice(centers_, 131, taken ? QString() : server_.LastError().message());
  LoadCenters();
}

void ConfigPage::ChooseLogin(int index) {
  if (index < 0) return;
  const bool taken = server_.Set("asasLogin", logins_->itemText(index));
  ShowNotice(logins_, 136, taken ? QString() : server_.LastError().message());
  LoadLogins();
}

void ConfigPage::SetArchive(bool checked) {
  const bool taken = server_.Set("withArchive", checked);
  ShowNotice(archive_, 135, taken ? QString() : server_.LastError().message());
  LoadArchive();
}

}  // namespace belmor::korvex::ui
