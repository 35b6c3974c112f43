#include <cstring>

#include "filter/phrases.h"

namespace tarvel {

// Ten slots a group, as the table is known; the layout is kept by hand.
// clang-format off
const char* const kBuiltInPhrases[kBuiltInPhraseCount] = {
    "adult chat sex", "adult dating sex", "adult sex fuck porn", "adult links sex porn",
    "adult porn sex pic", "adult webmaster sex", "amateur sex", "anal sex porn",
    "babe sex porn", "asian sex",
    "beastality sex", "big ass sex porn", "big cock sex", "big tits sex", "bisexual girl",
    "black babe sex", "black ebony sex", "blonde babe sex", "blowjob sex", "boobs sex",
    "cartoon sex pic", "cum shots sex", "cumshots sex", "cunt sex", "erotic stories",
    "erotica sex", "exxxtasy sex", "fetish sex porn", "xxx porn sex", "fucked sex",
    "fucking sex", "gay porn sex", "gay video sex", "group sex girl porn", "groupsex",
    "hardcore movie", "hardcore xxx", "horny click", "hot porn sex", "huge cock",
    "huge tits", "interracial sex porn", "juicy girls", "lesbo sex", "lezbos sex",
    "lezzies sex", "live sex porn", "masturbation sex", "nude adults sex", "nude babe sex",
    "nude celebrity", "nude photo sex", "nude pic sex", "nudists sex", "oral porn sex",
    "oral sex porn", "orgy sex", "peepshow sex", "playboy sex", "porn pic sex",
    "porn site sex", "porn star sex", "pussies sex", "satanism sex", "sex chat porn",
    "sex galleries", "sex links porn", "sex movie porn", "sex pic porn", "sex site fuck",
    "sex stories porn", "sex video porn", "sexual act porn", "sexually explicit material",
    "gang bang sex", "shemale sex", "sluts sex", "tight asses sex", "tight pussies sex",
    "titties sex",
    "transsexual", "vagina sex", "voyeur video sex", "x-rated porn sex", "xxx links sex",
    "young cock sex", "porn nude sex", "fuck girl movie", "fuck girl porn sex",
};
// clang-format on

int FillPhraseTable(FilterState& state) {
  if (Load(state.attach_counter) != 0) return 0;
  std::memset(state.phrases, 0, sizeof state.phrases[0] * kBuiltInPhraseCount);
  Store(state.phrase_count, kBuiltInPhraseCount);
  for (int k = 0; k < kBuiltInPhraseCount; ++k) {
    std::strncpy(state.phrases[k], kBuiltInPhrases[k], kPhraseSlotBytes);
  }
  return 1;
}

}  // namespace tarvel
