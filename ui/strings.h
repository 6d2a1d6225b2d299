#ifndef KORVEX_UI_STRINGS_H_
#define KORVEX_UI_STRINGS_H_

#include <QString>

namespace belmor::korvex::ui {

// The monitor's string table: every visible text by its number, in German
// or, for a French user, in French (the French text of N is N + 2000).
enum class Language { German, French };

// The language of this user: French when the first non-empty of LC_ALL,
// LC_MESSAGES and LANG begins with "fr", German otherwise.
Language UserLanguage();
// The language the table answers in; the user's language unless a test set
// another one.
Language CurrentLanguage();
void SetLanguage(Language language);

// The text of string id in the current language; empty for an id the table
// does not have.
QString Text(int id);
QString Text(int id, Language language);

}  // namespace belmor::korvex::ui

#endif  // KORVEX_UI_STRINGS_H_
