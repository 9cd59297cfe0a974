// The page: one WebSocket to the bridge that served it, carrying the server's byte stream.
// Network text only ever reaches the page through textContent, never as markup.
import {
  FrameCutter, MaxTextBytes, PacketType, decodePacket, encodeTextPacket,
} from './protocol.js';
import { Roster, parseUserList } from './roster.js';
import { visible } from './visible.js';

const byTestId = (id) => document.querySelector(`[data-testid="${id}"]`);
const messages = byTestId('messages');
const users = byTestId('users');
const status = byTestId('status');
const nameInput = byTestId('name-input');
const messageInput = byTestId('message-input');
const hint = document.getElementById('hint');
const userCount = document.getElementById('user-count');

const KeptLines = 2000;
const FirstRetryMs = 1000;
const LastRetryMs = 8000;
const noticePattern = /^\[\d\d:\d\d:\d\d\] ?\[SERVER\]: /;

const roster = new Roster();
let name = '';
let socket = null;
let live = false; // the server has spoken on this socket
let retryMs = FirstRetryMs;
let unechoed = []; // own lines sent and not yet relayed back

function showStatus(state, text) {
  status.dataset.state = state;
  status.textContent = text;
}

function showHint(text) {
  hint.textContent = text;
}

function addLine(text, kind) {
  const stick = messages.scrollHeight - messages.scrollTop - messages.clientHeight < 40;
  const line = document.createElement('li');
  line.className = kind;
  line.textContent = visible(text);
  messages.append(line);
  while (messages.childElementCount > KeptLines) {
    messages.firstElementChild.remove();
  }
  if (stick) {
    messages.scrollTop = messages.scrollHeight;
  }
}

function showUsers(names) {
  const items = names.map((each) => {
    const item = document.createElement('li');
    item.textContent = visible(each);
    if (each === name) {
      item.className = 'me';
    }
    return item;
  });
  users.replaceChildren(...items);
  userCount.textContent = String(names.length);
}

function send(type, text) {
  const frame = encodeTextPacket(type, text);
  if (frame !== null && live && socket?.readyState === WebSocket.OPEN) {
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
    const own = unechoed.indexOf(text);
    if (own >= 0) {
      unechoed.splice(own, 1);
    }
    addLine(text, own >= 0 ? 'own' : noticePattern.test(text) ? 'notice' : 'chat');
  } else if (type === PacketType.UserList) {
    const names = parseUserList(text);
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
      if (name) {
        send(PacketType.SetUserName, name);
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
    showUsers([]);
    const delay = Math.round(retryMs * (0.75 + Math.random() * 0.5));
    const lost = live ? 'Connection lost' : 'No connection';
    showStatus('disconnected', `${lost}; retrying in ${Math.ceil(delay / 1000)} s`);
    retryMs = Math.min(retryMs * 2, LastRetryMs);
    setTimeout(connect, delay);
  });
}

nameInput.addEventListener('keydown', (event) => {
  if (event.key !== 'Enter') {
    return;
  }
  const wanted = nameInput.value.trim();
  if (!wanted) {
    showHint('Type a name first.');
    return;
  }
  if (!send(PacketType.SetUserName, wanted)) {
    showHint(`That name is too long: at most ${MaxTextBytes} bytes.`);
    return;
  }
  name = wanted;
  nameInput.value = name;
  showHint('');
  messageInput.disabled = false;
  messageInput.placeholder = 'Type a line, Enter sends it';
  messageInput.focus();
});

messageInput.addEventListener('keydown', (event) => {
  if (event.key !== 'Enter' || !name) {
    return;
  }
  const line = messageInput.value;
  if (!line.trim()) {
    return;
  }
  if (!live || socket?.readyState !== WebSocket.OPEN) {
    showHint('Not connected: the line was not sent.');
    return;
  }
  const text = `${name}: ${line}`;
  if (!send(PacketType.ChatMessage, text)) {
    showHint(`Line too long: at most ${MaxTextBytes} bytes fit one message, name included; not sent.`);
    return;
  }
  unechoed.push(text);
  messageInput.value = '';
  showHint('');
});

nameInput.focus();
connect();
