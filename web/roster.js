// Who is online, and the join, leave and rename events read from successive user lists.
// The server only ever sends whole lists, so events are inferred from what changed.

import { noticeText } from './protocol.js';

const departureNotice = 'A user disconnected.';

// A UserList text: every name followed by a line feed.
export function parseUserList(text) {
  const names = text.split('\n');
  names.pop();
  return names;
}

// Names in `from` that `minus` does not cancel, counting duplicates.
function difference(from, minus) {
  const left = new Map();
  for (const name of minus) {
    left.set(name, (left.get(name) ?? 0) + 1);
  }
  const rest = [];
  for (const name of from) {
    const count = left.get(name) ?? 0;
    if (count > 0) {
      left.set(name, count - 1);
    } else {
      rest.push(name);
    }
  }
  return rest;
}

export class Roster {
  #names = null; // null until the first list
  #departureSeen = false;

  // Every chat message passes here, so that a departure can tell "left" from a rename.
  noteMessage(text) {
    if (noticeText(text) === departureNotice) {
      this.#departureSeen = true;
    }
  }

  // Takes the new list; returns the event line it implies, or null. The line comes in
  // parts: strings of the page's own, and { name } for a name from the network.
  update(names) {
    const previous = this.#names;
    const departed = this.#departureSeen;
    this.#names = names;
    this.#departureSeen = false;
    if (previous === null) {
      return null;
    }
    const added = difference(names, previous);
    const removed = difference(previous, names);
    if (added.length === 1 && removed.length === 0) {
      return ['* ', { name: added[0] }, ' joined'];
    }
    if (added.length === 1 && removed.length === 1) {
      return ['* ', { name: removed[0] }, ' is now ', { name: added[0] }];
    }
    if (added.length === 0 && removed.length === 1 && departed) {
      return ['* ', { name: removed[0] }, ' left'];
    }
    return null;
  }

  // A new connection starts from nothing: its first list tells of no event.
  reset() {
    this.#names = null;
    this.#departureSeen = false;
  }
}
