#include "logging/messages.h"

#include <utility>

#include "common/encoding.h"

namespace belmor::korvex {

// Texts are UTF-8, as this file is; the session log converts them to Latin-1
// when it writes them.

const MessageTable& GermanMessageTable() {
  static const MessageTable table = {
      {0, "Korvex"},
      {1, "Korvex Ordiva"},
      {2, "Eine neue Version der Software ist erhältlich. Jetzt upgraden?"},
      {3, "ASAS Initialisierung gestartet"},
      {4, "ASAS Login '%s' ist ungültig. Gültige Logins sind: %s"},
      {5, "ASAS Login wechseln: "},
      {6, "ASAS läuft..."},
      {7, "ASAS läuft nicht..."},
      {8, "ASAS Initialisierung OK"},
      {9, "%d Dateien werden bearbeitet"},
      {10, "Anonymisieren"},
      {11, "Datei anonymisiert"},
      {12, "Datei kann nicht anonymisiert werden"},
      {13, "Datei verschlüsselt"},
      {14, "Senden/Empfangen"},
      {15, "Datei übermittelt"},
      {16, "Keine Verbindung"},
      {17, "Übermittlung fehlgeschlagen"},
      {18, "Einlesen"},
      {19, "Überprüfen"},
      {20, "Gültiges Dateiformat"},
      {21, "Unbekanntes Dateiformat"},
      {22, "Unvollständige Rechnung"},
      {23, "Doppelte Rechnung"},
      {24, "Unreferenzierte PDF-Datei"},
      {25, "Datei ist für ein anderes Trust Center verschlüsselt"},
      {26, "Auslesen"},
      {27, "%s gestartet"},
      {28, "%s abgeschlossen: %d kopiert, %d fehlerhafte Rechnungsdateien"},
      {29, "Datei erfolgreich kopiert"},
      {30, "Datei nicht kopiert"},
      {31, "Keine Datei gefunden"},
      {32, "Bearbeitung abgebrochen"},
      {33, "Rechnungsverzeichnis nicht gesetzt"},
      {34, "Basisverzeichnis nicht gesetzt"},
      {35, "ASAS Login nicht gesetzt"},
      {36, "Trust Center nicht gesetzt"},
      {37, "Unerwartete Datei"},
      {38, "Rechnung übermittelt, aber nicht im Versandprotokoll vermerkt"},
      {39, ""},
      {40, ""},
      {41, "Unreferenzierte PDF-Datei"},
      {42, ""},
      {43, "ASAS nicht installiert"},
      {44, "Trust Center Rcpt nicht gesetzt"},
      {45, "Trust Center URL nicht gesetzt"},
      {46, "Basisverzeichnis ungültig"},
      {47, ""},
      {48, "Rechnungsverzeichnis ungültig"},
      {49, "Antwortverzeichnis nicht gesetzt"},
      {50, "Antwortverzeichnis ungültig"},
      {51, "Empfang gestartet"},
      {52, "Datei empfangen"},
      {53, "Empfang der Datei fehlgeschlagen"},
      {54, "Empfang abgeschlossen"},
      {55, "Fehler beim Starten des Sicherheits-Clients"},
      {56, "Diese Korvex Ordiva Version ist zu alt, bitte upgraden."},
      {57, "Rechnungsversion wird nicht unterstützt"},
      {58, "Konfiguration ist nicht komplett"},
      {59, "Download Konfiguration"},
      {60, "Konfiguration ist komplett"},
      {61, "Datei nicht gefunden"},
      {62, "Warte auf HIN-Client Login (%s)..."},
      {63, "HIN-Client Login erfolgreich"},
      {64, "<neues HIN Login registrieren>"},
      {65, "Übermittlung unklar: beim Trust Center nachfragen; nur wenn die Rechnung dort fehlt, erneut exportieren"},
      {66, "Trust Center nicht erreichbar, wird beim nächsten Lauf gesendet"},
      {67, "Einstellungen konnten nicht gespeichert werden"},
      {68, "%d Rechnungen warten auf den nächsten Lauf"},
      {69, "Konfiguration nicht geladen: keine Verbindung zum Trust Center"},
      {70, "Konfiguration nicht geladen: Trust Center antwortet mit HTTP %d"},
      {71, "Konfiguration nicht geladen: HIN-Login nötig"},
      {72, "Lokale Kopie der Konfiguration konnte nicht gespeichert werden"},
      {73, "Gate %s gehört nicht zum Trust Center: Verbindung abgelehnt"},
      {74, "Verzeichnis fehlt: %s"},
  };
  return table;
}

const MessageTable& FrenchMessageTable() {
  static const MessageTable table = {
      {0, "Korvex"},
      {1, "Korvex Ordiva"},
      {2, "Une nouvelle version de Korvex-Ordiva est prêt. Installer maintenant?"},
      {3, "Initialisation ASAS démarée"},
      {4, "Login ASAS '%s' est invalide. Logins valides sont: %s"},
      {5, "Changer le login ASAS: "},
      {6, "ASAS marche..."},
      {7, "ASAS ne marche pas..."},
      {8, "Initialisation ASAS ok"},
      {9, "%d Fichiers en travail"},
      {10, "Anonymiser"},
      {11, "Fichier anonymisé"},
      {12, "Fichier ne peut pas être anonymisé"},
      {13, "Fichier codé"},
      {14, "Envoyer/Recevoir"},
      {15, "Fichier transmis"},
      {16, "Pas de connection"},
      {17, "Transmission échouée"},
      {18, "Lire"},
      {19, "Vérifier"},
      {20, "Format de fichier valide"},
      {21, "Format de fichier inconu"},
      {22, "Facture incomplète"},
      {23, "Facture double"},
      {24, "Fichier PDF sans référence"},
      {25, "Fichier crypté pour an autre centre de fiduciaire"},
      {26, "Déplacer"},
      {27, "%s démarré"},
      {28, "%s términé: %d copiés, %d erreurs dans les fichiers des factures"},
      {29, "Fichier copié avec succès"},
      {30, "Fichier pas copié"},
      {31, "Aucun fichier trouvé"},
      {32, "Proces interompu"},
      {33, "Répertoire de factures non renseigné"},
      {34, "Répertoire de base non renseigné"},
      {35, "Login ASAS non renseigné"},
      {36, "Centre de fiduciaire non"},
      {37, "Fichier inattendu"},
      {38, "Facture transmise, mais pas inscrite dans le journal d'envoi"},
      {39, ""},
      {40, ""},
      {41, "Fichier PDF sans référence"},
      {42, ""},
      {43, "ASAS non installé"},
      {44, "Centre de fiduciaire (Rcpt) non renseigné"},
      {45, "Centre de fiduciaire (URL) non renseigné"},
      {46, "Répertoire de base invalide"},
      {47, ""},
      {48, "Répertoire de factures invalide"},
      {49, "Répertoire de rêponses non renseigné"},
      {50, "Répertoire de rêponses invalide"},
      {51, "Reception démarrée"},
      {52, "Fichier reçu"},
      {53, "Reception de fichier échouée"},
      {54, "Reception términée"},
      {55, "Erreur au démarrage du client de sécurité"},
      {56, "Cette version de Korvex est obsolète, merci de faire une mise à jour"},
      {57, "La version de compte n'est pas supporté"},
      {58, "Configuration n'est pas complète"},
      {59, "Télécharger configuration"},
      {60, "La configuration est entièrement"},
      {61, "Fichier introuvable"},
      {62, "Attendre au HIN-Client de %s..."},
      {63, "Identification du HIN-Client réussie"},
      {64, "<enregistrer un nouveau login HIN>"},
      {65, "Transmission incertaine : vérifier auprès du trust center ; ne réexporter la facture que si elle n'y est pas"},
      {66, "Trust center injoignable, la facture sera envoyée au prochain passage"},
      {67, "Les paramètres n'ont pas pu être enregistrés"},
      {68, "%d factures attendent la prochaine exécution"},
      {69, "Configuration non chargée : pas de connexion au trust center"},
      {70, "Configuration non chargée : le trust center répond HTTP %d"},
      {71, "Configuration non chargée : login HIN nécessaire"},
      {72, "La copie locale de la configuration n'a pas pu être enregistrée"},
      {73, "La gate %s n'appartient pas au trust center : connexion refusée"},
      {74, "Répertoire absent : %s"},
  };
  return table;
}

void MessageCatalogue::RegisterMessageTable(const std::string& language, MessageTable table) {
  auto shared = std::make_shared<const MessageTable>(std::move(table));
  std::lock_guard<std::mutex> lock(mutex_);
  tables_[language] = std::move(shared);
}

void MessageCatalogue::SelectMessageTable(const std::string& language) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = tables_.find(language);
  current_ = it == tables_.end() ? nullptr : it->second;
}

std::string MessageCatalogue::GetMessageText(int code) const {
  std::shared_ptr<const MessageTable> table;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    table = current_;
  }
  if (!table || code < 0 || static_cast<size_t>(code) >= table->size()) return "";
  return (*table)[static_cast<size_t>(code)].text;
}

MessageCatalogue& ProcessMessageCatalogue() {
  static MessageCatalogue catalogue;
  return catalogue;
}

std::string FormatMessageText(std::string_view format, std::initializer_list<MessageArg> args) {
  std::string out;
  out.reserve(format.size());
  auto next = args.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    const char following = i + 1 < format.size() ? format[i + 1] : '\0';
    if (c != '%' || (following != 's' && following != 'd' && following != '%')) {
      out += c;
      continue;
    }
    ++i;
    if (following == '%') {
      out += '%';
    } else if (next != args.end()) {
      out += next->text();
      ++next;
    }
  }
  return out;
}

std::string ClipReportText(std::string text) { return common::ClipUtf8(std::move(text), kMaxReportText); }

}  // namespace belmor::korvex
