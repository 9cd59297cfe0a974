// The page: one WebSocket to the server that served it, carrying the server's byte stream.
// Network text only ever reaches the page through textContent, never as markup.
import {
  FrameCutter, MaxTextBytes, PacketType, decodePacket, encodeTextPacket, noticeText,
} from './protocol.js';
import { Roster, parseUserList } from './roster.js';
import { visible } from './visible.js';

const byTestId = (id) => document.querySelector(`[data-testid="${id}"]`);
const conversation = byTestId('conversation');
const messages = byTestId('messages');
const jump = byTestId('jump');
const users = byTestId('users');
const online = byTestId('online');
const onlineToggle = byTestId('online-toggle');
const status = byTestId('status');
const nameInput = byTestId('name-input');
const messageInput = byTestId('message-input');
const sendButton = byTestId('send');
const hint = document.getElementById('hint');
const userCounts = document.querySelectorAll('.user-count');

const KeptLines = 2000;
const FirstRetryMs = 1000;
const LastRetryMs = 8000;
const Title = document.title;
const nameRefusal = 'User name refused: ';

const roster = new Roster();
let name = ''; // as the server last took it: every line goes with it
let askedName = null; // sent, and not answered yet
let nextName = null; // to ask for once the server can answer it
let socket = null;
let live = false; // the server has spoken on this socket
let listed = false; // a user list came on this socket
let retryTimer = 0;
let retryMs = FirstRetryMs;
let unechoed = []; // own lines sent and not yet relayed back
let following = true; // the view shows the newest line and keeps doing so
let unseen = 0; // lines below the view while the reader has scrolled up
let unread = 0; // lines that came while the page was hidden

function showStatus(state, text) {
  status.dataset.state = state;
  status.textContent = text;
}

// A hint says what went wrong; it goes as soon as that no longer holds, so each has a kind:
// 'connection', 'line' or 'name'.
let hintKind = '';
function showHint(kind, text) {
  hintKind = kind;
  hint.textContent = text;
  nameInput.setAttribute('aria-invalid', String(kind === 'name'));
}
function clearHint(...kinds) {
  if (kinds.includes(hintKind)) {
    showHint('', '');
  }
}

// --- Following the conversation -------------------------------------------------------

function atEnd() {
  return conversation.scrollHeight - conversation.scrollTop - conversation.clientHeight < 8;
}

function showJump() {
  jump.hidden = following || unseen === 0;
  jump.textContent = `${unseen} new ${unseen === 1 ? 'line' : 'lines'} ↓`;
}

function scrollToEnd() {
  following = true;
  unseen = 0;
  conversation.scrollTop = conversation.scrollHeight;
  showJump();
}

// The reader's own scrolling decides whether the view follows.
conversation.addEventListener('scroll', () => {
  following = atEnd();
  if (following) {
    unseen = 0;
  }
  showJump();
});
// Whatever changes the size of the view or of its lines (a resize, a rotation, another
// font size, lines wrapping anew), a view that followed still shows the newest line.
const keepFollowing = new ResizeObserver(() => {
  if (following) {
    conversation.scrollTop = conversation.scrollHeight;
  }
});
keepFollowing.observe(conversation);
keepFollowing.observe(messages);
jump.addEventListener('click', () => {
  scrollToEnd();
  messageInput.focus();
});

document.addEventListener('visibilitychange', () => {
  if (!document.hidden) {
    unread = 0;
    document.title = Title;
  }
});

// A line is a string, or parts: strings and { name } for names, each name isolated so
// that its direction stays its own.
function addLine(content, kind) {
  const line = document.createElement('li');
  line.className = kind;
  line.dir = 'auto';
  for (const part of typeof content === 'string' ? [content] : content) {
    if (typeof part === 'string') {
      line.append(visible(part));
    } else {
      const isolated = document.createElement('bdi');
      isolated.textContent = visible(part.name);
      line.append(isolated);
    }
  }
  messages.append(line);
  while (messages.childElementCount > KeptLines) {
    messages.firstElementChild.remove();
  }
  if (following) {
    conversation.scrollTop = conversation.scrollHeight;
  } else {
    unseen += 1;
    showJump();
  }
  if (document.hidden && kind !== 'own') {
    unread += 1;
    document.title = `(${unread}) ${Title}`;
  }
}

// --- Who is online --------------------------------------------------------------------

function showUsers(names) {
  const items = names.map((each) => {
    const item = document.createElement('li');
    const isolated = document.createElement('bdi');
    isolated.textContent = visible(each);
    item.append(isolated);
    if (each === name) {
      item.className = 'me';
    }
    return item;
  });
  users.replaceChildren(...items);
  userCounts.forEach((count) => { count.textContent = String(names.length); });
}

function showOnline(open) {
  online.classList.toggle('open', open);
  onlineToggle.setAttribute('aria-expanded', String(open));
}
onlineToggle.addEventListener('click', () => showOnline(!online.classList.contains('open')));
document.addEventListener('keydown', (event) => {
  if (event.key === 'Escape' && online.classList.contains('open')) {
    showOnline(false);
    onlineToggle.focus();
  }
});
conversation.addEventListener('click', () => showOnline(false));

// --- The connection -------------------------------------------------------------------

function connected() {
  return live && socket?.readyState === WebSocket.OPEN;
}

function send(type, text) {
  const frame = encodeTextPacket(type, text);
  if (frame !== null && connected()) {
    socket.send(frame);
  }
  return frame !== null;
}

function receive(body) {
  const { type, text } = decodePacket(body);
  if (text === null) {
    addLine('Ignored a malformed message from the server.', 'notice');
    return;
  }
  if (type === PacketType.ChatMessage) {
    roster.noteMessage(text);
    const notice = noticeText(text);
    if (askedName !== null && notice?.startsWith(nameRefusal)) {
      nameRefused(notice.slice(nameRefusal.length));
      return;
    }
    const own = unechoed.indexOf(text);
    if (own >= 0) {
      unechoed.splice(own, 1);
    }
    addLine(text, own >= 0 ? 'own' : notice !== null ? 'notice' : 'chat');
  } else if (type === PacketType.UserList) {
    const names = parseUserList(text);
    // The first list of a connection comes before any name could be taken.
    if (listed && askedName !== null && names.at(-1) === askedName) {
      name = askedName;
      nameAnswered();
    }
    listed = true;
    const event = roster.update(names);
    if (event !== null) {
      addLine(event, 'event');
    }
    showUsers(names);
  } else if (type !== PacketType.UserConnected) {
    // The notice before UserConnected already tells of the arrival.
    addLine(`Ignored a message of unknown type ${type} from the server.`, 'notice');
  }
}

function connect() {
  clearTimeout(retryTimer);
  const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
  showStatus('connecting', `Connecting to ${location.host}…`);
  const cutter = new FrameCutter();
  const ws = new WebSocket(`${scheme}://${location.host}/`, ['binary']);
  ws.binaryType = 'arraybuffer';
  socket = ws;
  live = false;
  ws.addEventListener('message', (event) => {
    if (!live) {
      live = true;
      retryMs = FirstRetryMs;
      roster.reset();
      unechoed = [];
      showStatus('connected', `Connected to ${location.host}`);
      clearHint('connection');
      // Only a name the server took goes again; one asked for meanwhile follows it.
      if (name) {
        askName(name);
      } else {
        askNextName();
      }
    }
    let bodies;
    try {
      bodies = cutter.push(new Uint8Array(event.data));
    } catch (error) {
      addLine(`The server sent a broken stream (${error.message}); reconnecting.`, 'notice');
      ws.close();
      return;
    }
    bodies.forEach(receive);
  });
  ws.addEventListener('close', () => {
    if (socket !== ws) {
      return;
    }
    socket = null;
    askedName = null; // its answer is lost with the connection
    listed = false;
    showUsers([]);
    const delay = Math.round(retryMs * (0.75 + Math.random() * 0.5));
    retryMs = Math.min(retryMs * 2, LastRetryMs);
    countDown(live ? 'Connection lost' : 'No connection', Date.now() + delay);
  });
}

// Says every second how long until the next try, then makes it.
function countDown(lost, retryAt) {
  const left = retryAt - Date.now();
  if (left <= 0) {
    connect();
    return;
  }
  showStatus('disconnected', `${lost}; retrying in ${Math.ceil(left / 1000)} s`);
  retryTimer = setTimeout(() => countDown(lost, retryAt), left % 1000 || 1000);
}

// --- The name and the lines typed -----------------------------------------------------

// One name at a time is with the server, so that its answer is known to be for it.
function askName(wanted) {
  send(PacketType.SetUserName, wanted);
  askedName = wanted;
}

function askNextName() {
  if (nextName !== null) {
    const next = nextName;
    nextName = null;
    askName(next);
  }
}

function nameAnswered() {
  askedName = null;
  askNextName();
}

// The server kept the name it had: said beside the name field, whose text stays to be
// edited.
function nameRefused(reason) {
  const kept = name ? `You are still ${visible(name)}.` : 'You still have no name.';
  showHint('name', `Name refused: ${visible(reason)} ${kept}`);
  nameAnswered();
}

// The name is asked for on Enter, Tab or leaving the field; an empty field keeps the name.
function takeName() {
  const wanted = nameInput.value.trim();
  if (!wanted || wanted === name) {
    nameInput.value = name;
    clearHint('name');
    return;
  }
  if (wanted === askedName || wanted === nextName) {
    return; // Enter and leaving the field both take it
  }
  if (encodeTextPacket(PacketType.SetUserName, wanted) === null) {
    showHint('name', `That name is too long: at most ${MaxTextBytes} bytes.`);
    return;
  }
  nameInput.value = wanted;
  clearHint('name');
  if (connected() && askedName === null) {
    askName(wanted);
  } else {
    nextName = wanted;
  }
}

nameInput.addEventListener('change', takeName);
nameInput.addEventListener('keydown', (event) => {
  if (event.key === 'Enter') {
    takeName();
    if (hintKind !== 'name') {
      messageInput.focus();
    }
  }
});

// Without a name a line goes out as typed, as the console client sends it.
function sendLine() {
  const line = messageInput.value;
  if (!line.trim()) {
    return;
  }
  if (!connected()) {
    showHint('connection', 'Not connected: the line was not sent.');
    return;
  }
  const text = name ? `${name}: ${line}` : line;
  if (!send(PacketType.ChatMessage, text)) {
    showHint('line', `Line too long: at most ${MaxTextBytes} bytes fit one message, name included; not sent.`);
    return;
  }
  unechoed.push(text);
  messageInput.value = '';
  clearHint('connection', 'line');
  scrollToEnd();
}

messageInput.addEventListener('keydown', (event) => {
  if (event.key === 'Enter') {
    sendLine();
  }
});
sendButton.addEventListener('click', () => {
  sendLine();
  messageInput.focus();
});

nameInput.focus();
connect();
