#include "state/change_rights.h"

namespace tarvel {

int HasChangeRights(const CallerToken& caller) {
  // An impersonating thread speaks for the client it impersonates: a
  // service thread acting for a pupil has the pupil's rights, not its own.
  const TokenFacts& speaking = caller.impersonating ? caller.thread : caller.process;
  return speaking.local_system || speaking.administrator ? 1 : 0;
}

}  // namespace tarvel
