#include "ui/invoice_reader.h"

#include <QStringList>
#include <QXmlStreamReader>

#include <algorithm>
#include <cstring>
#include <vector>

namespace belmor::korvex::ui {

namespace {

constexpr char kLineBreak[] = "\r\n";

// The namespaces the pane knows. Every version of the fixture invoice shares
// the elements the pane shows, so any version of its namespace is read.
constexpr char kFixturePrefix[] = "urn:belmor:fixture:invoice:";
constexpr char kGeneralInvoiceNs[] = "http://www.forum-datenaustausch.ch/invoice";
// The transform step's wrapper and the element that stands for the patient
// once anonymised (its "person" attribute is the pseudonymous person code).
constexpr char kTransferNs[] = "urn:korvex:datatransfer";

// A kept text is never longer than this: no name, address or date is, and a
// pane text must not grow with a broken file.
constexpr int kMaxField = 1024;

// Hands the content to the XML reader in chunks, with long runs of plain
// character data cut short. QXmlStreamReader keeps a whole text node in one
// string, twice the bytes of a Base64 attachment; a run that long is nothing
// the pane shows, so most of it never reaches the reader.
//
// Only runs that cannot decide whether the document is well-formed are cut:
// runs made of ASCII letters, digits, blanks and punctuation other than "<",
// "&" and "]" alone (no reference to split, no "]]>", no character XML
// forbids), and only in a document whose encoding is ASCII-compatible. A cut
// run keeps its first kKeep bytes and, when the rest held a character that
// is not white space and the kept part none, one such character, so that
// text outside the root element is refused as before. Markup passes
// unchanged; after a document type declaration nothing is cut, since its
// internal subset has a grammar of its own.
class ChunkFeed {
 public:
  explicit ChunkFeed(const QByteArray& content) : data_(content.constData()), size_(content.size()) {
    cutting_ = AsciiCompatible();
  }

  bool AtEnd() const { return pos_ >= size_; }

  QByteArray Next() {
    QByteArray out;
    out.reserve(kChunk + kKeep + 1);
    while (out.size() < kChunk && pos_ < size_) {
      if (pos_ >= itemEnd_) StartItem(out);
      const qsizetype n = std::min(itemEnd_ - pos_, kChunk - out.size());
      if (n <= 0) continue;
      out.append(data_ + pos_, n);
      pos_ += n;
    }
    return out;
  }

 private:
  static constexpr qsizetype kChunk = 64 * 1024;
  static constexpr qsizetype kKeep = 1024;

  static bool Plain(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u == '\t' || u == '\n' || u == '\r') return true;
    return u >= 0x20 && u < 0x7f && u != '<' && u != '&' && u != ']';
  }
  static bool Blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

  // UTF-16 and UTF-32 documents (and EBCDIC ones) do not begin with an
  // ASCII "<" or blank, possibly after the UTF-8 byte order mark.
  bool AsciiCompatible() const {
    qsizetype first = 0;
    if (size_ >= 3 && std::memcmp(data_, "\xEF\xBB\xBF", 3) == 0) first = 3;
    return first < size_ && (data_[first] == '<' || Blank(data_[first]));
  }

  qsizetype Find(qsizetype from, const char* what) const {
    const qsizetype length = static_cast<qsizetype>(std::strlen(what));
    for (qsizetype i = from; i + length <= size_; ++i) {
      if (std::memcmp(data_ + i, what, static_cast<size_t>(length)) == 0) return i + length;
    }
    return size_;
  }
  bool At(qsizetype at, const char* what) const {
    const qsizetype length = static_cast<qsizetype>(std::strlen(what));
    return at + length <= size_ && std::memcmp(data_ + at, what, static_cast<size_t>(length)) == 0;
  }

  // The end of the markup that begins with the "<" at pos_.
  qsizetype MarkupEnd() {
    if (At(pos_, "<!--")) return Find(pos_ + 4, "-->");
    if (At(pos_, "<![CDATA[")) return Find(pos_ + 9, "]]>");
    if (At(pos_, "<?")) return Find(pos_ + 2, "?>");
    if (At(pos_, "<!")) {
      cutting_ = false;
      return size_;
    }
    char quote = 0;
    for (qsizetype i = pos_ + 1; i < size_; ++i) {
      const char c = data_[i];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        return i + 1;
      }
    }
    return size_;
  }

  // Sets itemEnd_ for the markup or text that begins at pos_; a text run
  // that may be cut is written to out at once and skipped.
  void StartItem(QByteArray& out) {
    if (!cutting_) {
      itemEnd_ = size_;
      return;
    }
    if (data_[pos_] == '<') {
      itemEnd_ = MarkupEnd();
      return;
    }
    const void* lt = std::memchr(data_ + pos_, '<', static_cast<size_t>(size_ - pos_));
    const qsizetype runEnd = lt ? static_cast<const char*>(lt) - data_ : size_;
    itemEnd_ = runEnd;
    if (runEnd - pos_ <= kKeep) return;
    bool keptText = false;
    for (qsizetype i = pos_; i < pos_ + kKeep; ++i) {
      if (!Plain(data_[i])) return;
      keptText = keptText || !Blank(data_[i]);
    }
    char restText = 0;
    for (qsizetype i = pos_ + kKeep; i < runEnd; ++i) {
      if (!Plain(data_[i])) return;
      if (!restText && !Blank(data_[i])) restText = data_[i];
    }
    out.append(data_ + pos_, kKeep);
    if (restText && !keptText) out.append(restText);
    pos_ = runEnd;
  }

  const char* data_;
  qsizetype size_;
  qsizetype pos_ = 0;
  qsizetype itemEnd_ = 0;
  bool cutting_ = true;
};

enum class Format { None, Fixture, GeneralInvoice };

// A biller's or patient's name and address as the invoice gives them.
struct Party {
  QString company, given, family, pobox, street, zip, city;
};

QString Joined(const QString& a, const QString& b) {
  if (a.isEmpty()) return b;
  if (b.isEmpty()) return a;
  return a + QLatin1Char(' ') + b;
}

// The name, then post-office box, street, and postcode with city, one per
// line; parts the invoice does not have leave no empty line.
QString NameAndAddress(const Party& party) {
  QStringList lines;
  for (const QString& line : {party.company.isEmpty() ? Joined(party.given, party.family) : party.company,
                              party.pobox, party.street, Joined(party.zip, party.city)}) {
    if (!line.isEmpty()) lines << line;
  }
  return lines.join(QLatin1String(kLineBreak));
}

// "2026-11-30T00:00:00" as "2026-11-30": the 4.5 format gives most dates as
// date and time, always at midnight, 5.0 gives plain dates; the pane shows
// both alike.
QString DateOnly(const QString& value) {
  if (value.size() > 10 && value.at(4) == QLatin1Char('-') && value.at(7) == QLatin1Char('-') &&
      value.at(10) == QLatin1Char('T')) {
    return value.left(10);
  }
  return value;
}

// Collects the pane's values while the XML reader walks the document.
//
// Which elements supply them:
// - fixture invoice: invoice/number and invoice/date; biller/name; patient
//   with its attributes id, sex and birthdate and its children givenname and
//   familyname; treatment/@begin and @end.
// - General Invoice Request (4.5 and 5.0 read by the same rules; where they
//   differ both are named): invoice number and date from payload/invoice
//   @request_id and @request_date; treatment from body/treatment @date_begin
//   and @date_end; the biller is body/tiers_*/biller (4.5) or
//   body/tiers_*/billers/biller_gln (5.0, the party the invoice is billed
//   by; biller_zsr only repeats it under its ZSR number); the patient is
//   body/tiers_*/patient (the insured person, when another, is not shown).
//   A party is a company (companyname) or a person (givenname, familyname)
//   with postal/pobox, street, zip and city.
//   Patient identifier: patient/@ssn (optional in 4.5, required in 5.0),
//   else the @ssn of the 4.5 law element (uvg, ivg, mvg), else the insured
//   number of the law element (4.5 kvg ... org, 5.0 law), else the insurance
//   card number (4.5 patient/card, 5.0 law/@card_id).
//   Sex: 5.0 patient/@sex; 4.5 has only patient/@gender (male or female),
//   and 5.0's @gender is the fallback when @sex is missing.
//   Birth date: patient/@birthdate.
// - anonymised invoices (either format inside the transform step's
//   korvex:datatransfer): whatever of the above is still there; the patient
//   identifier, when the invoice no longer has one, is the person code of
//   korvex:patient/@person, the name the trust center knows the patient by.
class InvoiceHandler {
 public:
  // False as soon as the document is known to be no invoice the pane reads.
  bool Handle(const QXmlStreamReader& reader) {
    switch (reader.tokenType()) {
      case QXmlStreamReader::StartElement:
        return Start(reader);
      case QXmlStreamReader::EndElement:
        if (open_.size() == partyDepth_) party_ = nullptr;
        open_.pop_back();
        collect_ = nullptr;
        return true;
      case QXmlStreamReader::Characters:
        if (collect_ && collect_->size() < kMaxField) collect_->append(reader.text().left(kMaxField));
        return true;
      default:
        return true;
    }
  }

  bool Known() const { return format_ != Format::None; }

  InvoicePaneTexts Compose(Language language) const {
    QString id = ssn_;
    for (const QString* next : {&lawSsn_, &insuredId_, &cardId_, &personCode_}) {
      if (id.trimmed().isEmpty()) id = *next;
    }
    InvoicePaneTexts texts;
    texts.doc = Text(140, language) + NameAndAddress(Trimmed(biller_));
    texts.pat = Text(141, language) + NameAndAddress(Trimmed(patient_)) + Text(151, language) + id.trimmed() +
                Text(152, language) + (sex_.isEmpty() ? gender_ : sex_).trimmed() + Text(153, language) +
                DateOnly(birthDate_.trimmed());
    texts.inv = Text(142, language) + DateOnly(begin_.trimmed()) + QLatin1String(" / ") + DateOnly(end_.trimmed()) +
                Text(143, language) + number_.trimmed() + Text(144, language) + DateOnly(date_.trimmed());
    return texts;
  }

 private:
  struct Open {
    bool own;  // in the namespace of the invoice's format
    QString name;
  };

  static Party Trimmed(Party party) {
    for (QString* field : {&party.company, &party.given, &party.family, &party.pobox, &party.street, &party.zip,
                           &party.city}) {
      *field = field->trimmed();
    }
    return party;
  }

  static Format FormatOf(QStringView ns, QStringView name) {
    if (ns.startsWith(QLatin1String(kFixturePrefix)) && name == QLatin1String("invoice")) return Format::Fixture;
    if (ns == QLatin1String(kGeneralInvoiceNs) && name == QLatin1String("request")) return Format::GeneralInvoice;
    return Format::None;
  }

  // The name of the open element `up` levels above the one starting (1: its
  // parent), empty when that is not an element of the invoice's namespace.
  QStringView Parent(size_t up = 1) const {
    if (up > open_.size() || !open_[open_.size() - up].own) return {};
    return open_[open_.size() - up].name;
  }

  static QString Attribute(const QXmlStreamReader& reader, const char* name) {
    return reader.attributes().value(QLatin1String(name)).left(kMaxField).toString();
  }

  void Collect(QString& field) {
    field.clear();
    collect_ = &field;
  }

  bool Start(const QXmlStreamReader& reader) {
    const QStringView ns = reader.namespaceUri();
    const QStringView name = reader.name();
    collect_ = nullptr;
    if (format_ == Format::None) {
      if (open_.empty() && ns == QLatin1String(kTransferNs) && name == QLatin1String("datatransfer")) {
        open_.push_back({false, name.toString()});
        return true;
      }
      format_ = FormatOf(ns, name);
      if (format_ == Format::None) return false;
      formatNs_ = ns.toString();
    }
    const bool own = ns == formatNs_;
    if (own) {
      if (format_ == Format::Fixture) {
        FixtureStart(reader, name);
      } else {
        GeneralInvoiceStart(reader, name);
      }
    } else if (ns == QLatin1String(kTransferNs) && name == QLatin1String("patient")) {
      personCode_ = Attribute(reader, "person");
    }
    open_.push_back({own, name.toString()});
    return true;
  }

  void FixtureStart(const QXmlStreamReader& reader, QStringView name) {
    if (Parent() == QLatin1String("invoice")) {
      if (name == QLatin1String("number")) Collect(number_);
      if (name == QLatin1String("date")) Collect(date_);
      if (name == QLatin1String("patient")) {
        ssn_ = Attribute(reader, "id");
        sex_ = Attribute(reader, "sex");
        birthDate_ = Attribute(reader, "birthdate");
      }
      if (name == QLatin1String("treatment")) {
        begin_ = Attribute(reader, "begin");
        end_ = Attribute(reader, "end");
      }
    } else if (Parent() == QLatin1String("biller") && Parent(2) == QLatin1String("invoice")) {
      if (name == QLatin1String("name")) Collect(biller_.company);
    } else if (Parent() == QLatin1String("patient") && Parent(2) == QLatin1String("invoice")) {
      if (name == QLatin1String("givenname")) Collect(patient_.given);
      if (name == QLatin1String("familyname")) Collect(patient_.family);
    }
  }

  void GeneralInvoiceStart(const QXmlStreamReader& reader, QStringView name) {
    const QStringView parent = Parent();
    if (parent == QLatin1String("payload") && name == QLatin1String("invoice")) {
      number_ = Attribute(reader, "request_id");
      date_ = Attribute(reader, "request_date");
    } else if (parent == QLatin1String("body")) {
      if (name == QLatin1String("treatment")) {
        begin_ = Attribute(reader, "date_begin");
        end_ = Attribute(reader, "date_end");
      }
      for (const char* law : {"kvg", "vvg", "uvg", "ivg", "mvg", "org", "law"}) {
        if (name != QLatin1String(law)) continue;
        lawSsn_ = Attribute(reader, "ssn");
        insuredId_ = Attribute(reader, "insured_id");
        if (cardId_.isEmpty()) cardId_ = Attribute(reader, "card_id");
      }
    } else if (parent.startsWith(QLatin1String("tiers_"))) {
      if (name == QLatin1String("biller")) EnterParty(biller_);
      if (name == QLatin1String("patient")) {
        EnterParty(patient_);
        ssn_ = Attribute(reader, "ssn");
        sex_ = Attribute(reader, "sex");
        gender_ = Attribute(reader, "gender");
        birthDate_ = Attribute(reader, "birthdate");
      }
    } else if (parent == QLatin1String("billers") && Parent(2).startsWith(QLatin1String("tiers_"))) {
      if (name == QLatin1String("biller_gln")) EnterParty(biller_);
    } else if (party_) {
      PartyStart(reader, parent, name);
    }
  }

  void EnterParty(Party& party) {
    party_ = &party;
    partyDepth_ = open_.size() + 1;
  }

  void PartyStart(const QXmlStreamReader& reader, QStringView parent, QStringView name) {
    if (parent == QLatin1String("company") && name == QLatin1String("companyname")) Collect(party_->company);
    if (parent == QLatin1String("person")) {
      if (name == QLatin1String("givenname")) Collect(party_->given);
      if (name == QLatin1String("familyname")) Collect(party_->family);
    }
    if (parent == QLatin1String("postal")) {
      if (name == QLatin1String("pobox")) Collect(party_->pobox);
      if (name == QLatin1String("street")) Collect(party_->street);
      if (name == QLatin1String("zip")) Collect(party_->zip);
      if (name == QLatin1String("city")) Collect(party_->city);
    }
    if (party_ == &patient_ && parent == QLatin1String("patient") && name == QLatin1String("card")) {
      cardId_ = Attribute(reader, "card_id");
    }
  }

  Format format_ = Format::None;
  QString formatNs_;
  std::vector<Open> open_;
  // The party whose name and address the elements now open belong to, and
  // the depth of its element.
  Party* party_ = nullptr;
  size_t partyDepth_ = 0;
  QString* collect_ = nullptr;

  Party biller_, patient_;
  QString ssn_, lawSsn_, insuredId_, cardId_, personCode_;
  QString sex_, gender_, birthDate_;
  QString begin_, end_, number_, date_;
};

InvoicePaneTexts UnknownFormat(Language language) { return {Text(145, language), QString(), QString()}; }

}  // namespace

InvoicePaneTexts ReadInvoicePane(const QByteArray& content) { return ReadInvoicePane(content, CurrentLanguage()); }

InvoicePaneTexts ReadInvoicePane(const QByteArray& content, Language language) {
  ChunkFeed feed(content);
  QXmlStreamReader reader;
  InvoiceHandler handler;
  for (;;) {
    const QXmlStreamReader::TokenType token = reader.readNext();
    if (token == QXmlStreamReader::Invalid) {
      if (reader.error() == QXmlStreamReader::PrematureEndOfDocumentError && !feed.AtEnd()) {
        reader.addData(feed.Next());
        continue;
      }
      return UnknownFormat(language);
    }
    if (token == QXmlStreamReader::EndDocument) break;
    if (!handler.Handle(reader)) return UnknownFormat(language);
  }
  return handler.Known() ? handler.Compose(language) : UnknownFormat(language);
}

}  // namespace belmor::korvex::ui
