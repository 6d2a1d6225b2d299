#include "ui/strings.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

namespace belmor::korvex::ui {

namespace {

// German and French side by side; the two columns are the table's ids N and
// N + 2000. Texts with "\r\n" keep it: the invoice pane shows them as they
// stand.
const std::map<int, std::pair<const char*, const char*>>& Table() {
  static const std::map<int, std::pair<const char*, const char*>> table = {
      {101, {"KORVEXUI", "KORVEXUI"}},
      {102, {"KORVEXTMAIN", "KORVEXTMAIN"}},
      {103, {"KORVEXDETAILS", "KORVEXDETAILS"}},
      {104, {"KORVEXCONFIG", "KORVEXCONFIG"}},
      {105, {"KORVEXINFO", "KORVEXINFO"}},
      {106, {"KORVEXPRGRS", "KORVEXPRGRS"}},
      {107, {"KORVEXVIEWER", "KORVEXVIEWER"}},
      {108, {"KORVEXINVOICE", "KORVEXINVOICE"}},
      {110, {"Korvex Ordiva", "Korvex Ordiva"}},
      {111, {"Übersicht", "Aperçu"}},
      {112, {"Details", "Details"}},
      {113, {"Konfiguration", "Configuration"}},
      {114, {"Info", "Info"}},
      {115, {"Hilfe", "Aide"}},
      {116, {"Beenden", "Terminer"}},
      {117,
       {"Bei Fragen wenden Sie sich bitte an Ihr TrustCenter",
        "Pour toute question merci de contacter votre TrustCenter"}},
      {118, {"InputGate Log", "InputGate Log"}},
      {119,
       {"Sind Sie sicher, dass Sie Rechnungen ans '%s' übermitteln wollen?",
        "Voulez vous vraiment envoyer des factures à '%s'?"}},
      {120, {"Auto", "Auto"}},
      {121, {"Einlesen", "Lire"}},
      {122, {"Überprüfen", "Vérifier"}},
      {123, {"Anonymisieren", "Anonymiser"}},
      {124, {"Senden/Empfangen", "Envoyer/Recevoir"}},
      {125, {"Abbrechen", "Interrompre"}},
      {126, {"Noch nicht gesendet", "Pas encore envoyé"}},
      {127, {"Archiv", "Archives"}},
      {128, {"Fehler", "Erreurs"}},
      {129, {"Logs", "Logs"}},
      {130, {"Löschen", "Effacer"}},
      {131, {"Trust Center:", "Trust Center:"}},
      {132, {"Rechnungsverzeichnis:", "Répertoire des factures:"}},
      {133, {"Basisverzeichnis:", "Répertoire de base:"}},
      {134, {"Mit Rechnungsbild (PDF):", "Image de la facture (PDF):"}},
      {135, {"Archivieren:", "Archiver:"}},
      {136, {"HIN Login:", "Login HIN:"}},
      {137, {"Durchsuchen...", "Parcourir..."}},
      {138, {"EAN:", "EAN:"}},
      {139, {"Token-Prefix:", "Token-Prefix:"}},
      {140, {"Arzt:\r\n", "Médecin:\r\n"}},
      {141, {"Patient:\r\n", "Patient:\r\n"}},
      {142, {"Behandlung von / bis:\r\n", "Traitement du / au:\r\n"}},
      {143, {"\r\nRechnung-Nr: ", "\r\nNuméro de facture: "}},
      {144, {"\r\nRechnungsdatum: ", "\r\nDate de facture: "}},
      {145, {"Unbekanntes Dateiformat", "Format de fichier inconu"}},
      {146, {"DEBUG", "DEBUG"}},
      {147, {"INFO", "INFO"}},
      {148, {"WARNUNG", "ATTENTION"}},
      {149, {"FEHLER", "ERREUR"}},
      {150, {"FATALER FEHLER", "ERREUR FATALE"}},
      {151, {"\r\nPatient-ID: ", "\r\nID patient: "}},
      {152, {"\r\nGeschlecht: ", "\r\nSexe: "}},
      {153, {"\r\nGeburtsdatum: ", "\r\nDate de naissance: "}},
      {155, {"Antwortverzeichnis:", "Répertoire des réponses:"}},
      // The monitor's own words about the server link and finished runs.
      {160,
       {"Der Korvex-Server ist nicht mehr erreichbar. Die Verbindung wird neu aufgebaut.",
        "Le serveur Korvex n'est plus joignable. La connexion va être rétablie."}},
      {161, {"Die Verbindung zum Korvex-Server steht wieder.", "La connexion au serveur Korvex est rétablie."}},
      {162, {"1 Rechnung konnte nicht verarbeitet werden.", "1 facture n'a pas pu être traitée."}},
      {163, {"%1 Rechnungen konnten nicht verarbeitet werden.", "%1 factures n'ont pas pu être traitées."}},
      {164, {"Anzeigen", "Afficher"}},
      {165, {"Soll '%1' in den Papierkorb verschoben werden?", "Mettre '%1' à la corbeille?"}},
      {166, {"'%1' konnte nicht in den Papierkorb verschoben werden: %2",
             "'%1' n'a pas pu être mis à la corbeille: %2"}},
      {201, {"Noch nicht ausgelesen", "Pas encore lu"}},
      {202, {"Archiv", "Archives"}},
      {203, {"Rechnungen", "Factures"}},
      {204, {"Antworten", "Réponses"}},
      {205, {"Logs", "Logs"}},
      {206, {"Auslesen", "Déplacer"}},
      {207, {"Rechnungsantworten empfangen für folgende ZSR-Nummer:", "Recevoir réponses pour les RCC suivants:"}},
      {208, {"AutoOne", "AutoOne"}},
  };
  return table;
}

Language& Chosen() {
  static Language language = UserLanguage();
  return language;
}

}  // namespace

Language UserLanguage() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) return std::strncmp(value, "fr", 2) == 0 ? Language::French : Language::German;
  }
  return Language::German;
}

Language CurrentLanguage() { return Chosen(); }

void SetLanguage(Language language) { Chosen() = language; }

QString Text(int id) { return Text(id, Chosen()); }

QString Text(int id, Language language) {
  const auto& table = Table();
  const auto it = table.find(id);
  if (it == table.end()) return QString();
  // Every table entry fits the 255 characters a text may have.
  return QString::fromUtf8(language == Language::French ? it->second.second : it->second.first);
}

}  // namespace belmor::korvex::ui
