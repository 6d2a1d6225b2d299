#ifndef KORVEX_UI_INVOICE_READER_H_
#define KORVEX_UI_INVOICE_READER_H_

#include <QByteArray>
#include <QString>

#include "ui/strings.h"

namespace belmor::korvex::ui {

// The three column texts of the viewer's invoice pane: the biller ("doc"),
// the patient ("pat") and the treatment and invoice data ("inv").
struct InvoicePaneTexts {
  QString doc, pat, inv;

  bool operator==(const InvoicePaneTexts& other) const {
    return doc == other.doc && pat == other.pat && inv == other.inv;
  }
  bool operator!=(const InvoicePaneTexts& other) const { return !(*this == other); }
};

// Reads an invoice file's content for the pane. Known are the fixture
// invoices of the test trust center (every version of its namespace), the
// Swiss "General Invoice Request" 4.5 and 5.0, and both of them as the
// transform step leaves them in work "output" (wrapped for the trust center,
// the patient replaced by a person code and an encrypted block): those show
// what is still readable. Anything else, and any content that is not
// well-formed XML, gives "doc" = "Unbekanntes Dateiformat" and the others
// empty.
//
// Lines are separated by "\r\n" throughout, the separator the string table's
// labels already carry, so one text never mixes two; Qt's text drawing breaks
// at the "\n" either way.
//
// Pure and thread-safe: no widgets, no shared state, so the viewer may call
// it on a worker thread. The content is handed to the XML reader a chunk at
// a time, never copied whole: beyond it the reader needs memory for a chunk
// and the short texts it keeps, whatever the size of an embedded attachment.
//
// The language is the one of the string table; the first form reads
// CurrentLanguage() on the calling thread, so a caller on a worker thread
// should take the language on the thread that may change it and pass it in.
InvoicePaneTexts ReadInvoicePane(const QByteArray& content);
InvoicePaneTexts ReadInvoicePane(const QByteArray& content, Language language);

}  // namespace belmor::korvex::ui

#endif  // KORVEX_UI_INVOICE_READER_H_
