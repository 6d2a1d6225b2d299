#include "logging/messages.h"

#include <gtest/gtest.h>

#include "logging/korvex_logger.h"

namespace belmor::korvex {
namespace {

TEST(MessageTablesTest, BothLanguagesHoldSixtyFiveEntriesNumberedByIndex) {
  for (const MessageTable* table : {&GermanMessageTable(), &FrenchMessageTable()}) {
    ASSERT_EQ(table->size(), static_cast<size_t>(kMessageCount));
    for (size_t i = 0; i < table->size(); ++i) EXPECT_EQ((*table)[i].code, static_cast<int>(i));
  }
}

// The expected texts are spelled in escapes where accents occur, so a wrong
// byte in either file cannot hide behind an editor's rendering.
TEST(MessageTablesTest, TextsAreTheShippedUtf8Bytes) {
  const struct {
    int code;
    const char* german;
    const char* french;
  } cases[] = {
      {0, "Korvex", "Korvex"},
      {2, "Eine neue Version der Software ist erh\xC3\xA4ltlich. Jetzt upgraden?",
       "Une nouvelle version de Korvex-Ordiva est pr\xC3\xAAt. Installer maintenant?"},
      {4, "ASAS Login '%s' ist ung\xC3\xBCltig. G\xC3\xBCltige Logins sind: %s",
       "Login ASAS '%s' est invalide. Logins valides sont: %s"},
      {15, "Datei \xC3\xBC" "bermittelt", "Fichier transmis"},
      {17, "\xC3\x9C" "bermittlung fehlgeschlagen", "Transmission \xC3\xA9" "chou\xC3\xA9" "e"},
      {28, "%s abgeschlossen: %d kopiert, %d fehlerhafte Rechnungsdateien",
       "%s t\xC3\xA9rmin\xC3\xA9: %d copi\xC3\xA9s, %d erreurs dans les fichiers des factures"},
      {36, "Trust Center nicht gesetzt", "Centre de fiduciaire non"},
      {38, "Rechnung \xC3\xBC" "bermittelt, aber nicht im Versandprotokoll vermerkt",
       "Facture transmise, mais pas inscrite dans le journal d'envoi"},
      {40, "", ""},
      {41, "Unreferenzierte PDF-Datei", "Fichier PDF sans r\xC3\xA9" "f\xC3\xA9rence"},
      {42, "", ""},
      {47, "", ""},
      {49, "Antwortverzeichnis nicht gesetzt", "R\xC3\xA9pertoire de r\xC3\xAAponses non renseign\xC3\xA9"},
      {52, "Datei empfangen", "Fichier re\xC3\xA7u"},
      {56, "Diese Korvex Ordiva Version ist zu alt, bitte upgraden.",
       "Cette version de Korvex est obsol\xC3\xA8te, merci de faire une mise \xC3\xA0 jour"},
      {62, "Warte auf HIN-Client Login (%s)...", "Attendre au HIN-Client de %s..."},
      {64, "<neues HIN Login registrieren>", "<enregistrer un nouveau login HIN>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(GermanMessageTable()[c.code].text, c.german);
    EXPECT_EQ(FrenchMessageTable()[c.code].text, c.french);
  }
}

TEST(MessageCatalogueTest, AnswersFromTheSelectedTableAndEmptyOtherwise) {
  MessageCatalogue catalogue;
  EXPECT_EQ(catalogue.GetMessageText(1), "");  // nothing selected yet

  catalogue.RegisterMessageTable("de", GermanMessageTable());
  catalogue.RegisterMessageTable("fr", FrenchMessageTable());
  EXPECT_EQ(catalogue.GetMessageText(18), "");  // registered is not selected

  catalogue.SelectMessageTable("fr");
  EXPECT_EQ(catalogue.GetMessageText(18), "Lire");
  catalogue.SelectMessageTable("de");
  EXPECT_EQ(catalogue.GetMessageText(18), "Einlesen");
  for (int outside : {-1, kMessageCount, 1000}) EXPECT_EQ(catalogue.GetMessageText(outside), "") << outside;

  catalogue.SelectMessageTable("it");
  EXPECT_EQ(catalogue.GetMessageText(18), "");
}

TEST(MessageCatalogueTest, RegisteringAgainReplacesTheTableOfThatLanguage) {
  MessageCatalogue catalogue;
  catalogue.RegisterMessageTable("de", GermanMessageTable());
  catalogue.SelectMessageTable("de");
  catalogue.RegisterMessageTable("de", MessageTable{{0, "Null"}});
  // The selection keeps the table it was made with until the next select.
  EXPECT_EQ(catalogue.GetMessageText(18), "Einlesen");
  catalogue.SelectMessageTable("de");
  EXPECT_EQ(catalogue.GetMessageText(0), "Null");
  EXPECT_EQ(catalogue.GetMessageText(18), "");  // shorter table, no overrun
}

TEST(MessageCatalogueTest, KorvexLoggerUsesTheProcessCatalogue) {
  KorvexLogger::RegisterMessageTable("de", GermanMessageTable());
  KorvexLogger::RegisterMessageTable("fr", FrenchMessageTable());
  KorvexLogger::SelectMessageTable("fr");
  EXPECT_EQ(KorvexLogger::GetMessageText(31), "Aucun fichier trouv\xC3\xA9");
  EXPECT_EQ(ProcessMessageCatalogue().GetMessageText(31), "Aucun fichier trouv\xC3\xA9");
  KorvexLogger::SelectMessageTable("");
  EXPECT_EQ(KorvexLogger::GetMessageText(31), "");
}

TEST(FormatMessageTextTest, FillsPlaceholdersInOrderAndNeverReadsPastTheValues) {
  const struct {
    std::string actual;
    std::string expected;
  } cases[] = {
      {FormatMessageText(GermanMessageTable()[28].text, {"Einlesen", 3, 1}),
       "Einlesen abgeschlossen: 3 kopiert, 1 fehlerhafte Rechnungsdateien"},
      {FormatMessageText(FrenchMessageTable()[9].text, {size_t{12}}), "12 Fichiers en travail"},
      {FormatMessageText(GermanMessageTable()[4].text, {std::string("dr.x"), "a, b"}),
       "ASAS Login 'dr.x' ist ung\xC3\xBCltig. G\xC3\xBCltige Logins sind: a, b"},
      {FormatMessageText("%s gestartet", {}), " gestartet"},                  // missing value
      {FormatMessageText("%d kopiert", {-4, "surplus"}), "-4 kopiert"},       // surplus value
      {FormatMessageText("100%% %x %", {"unused"}), "100% %x %"},             // literal and foreign percents
      {FormatMessageText("%s", {"%d %s"}), "%d %s"},                           // values are not formats
  };
  for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected);
}

}  // namespace
}  // namespace belmor::korvex
