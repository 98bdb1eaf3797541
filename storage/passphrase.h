#ifndef PASSPHRASE_H
#define PASSPHRASE_H

// The key of both database files. Changing it makes every existing file unreadable.
constexpr char kPassPhrase[] = "Hydrovane#Zdb-2024";
constexpr int kPassPhraseLength = 18;
static_assert(sizeof(kPassPhrase) == kPassPhraseLength + 1, "the pass phrase is 18 bytes");

#endif // PASSPHRASE_H
