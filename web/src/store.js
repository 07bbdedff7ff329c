// Conversations and settings, kept in the browser's local storage (nothing leaves the page).
// A conversation: {id, title, updated, messages: [{role, content, reasoning?, toolCalls?,
// stats?, note?}]}.

const CONVERSATIONS = "kestrune.conversations";
const SETTINGS = "kestrune.settings";

function read(key, fallback) {
  try {
    const value = JSON.parse(localStorage.getItem(key));
    return value ?? fallback;
  } catch {
    return fallback;
  }
}

export function loadConversations() {
  const list = read(CONVERSATIONS, []);
  return Array.isArray(list) ? list.filter((c) => c && c.id && Array.isArray(c.messages)) : [];
}

export function saveConversations(conversations) {
  try {
    localStorage.setItem(CONVERSATIONS, JSON.stringify(conversations));
    return true;
  } catch {
    return false;  // storage full or refused: the conversation still lives in the page
  }
}

export function newConversation() {
  const id = crypto.randomUUID ? crypto.randomUUID() : `${Date.now()}-${Math.random()}`;
  return { id, title: "New chat", updated: Date.now(), messages: [] };
}

// A title from the first question: its first line, shortened.
export function titleFrom(text) {
  const line = text.trim().split("\n")[0];
  return line.length > 48 ? `${line.slice(0, 47)}…` : line || "New chat";
}

export function loadSettings() {
  return { system: "", temperature: 0.7, maxTokens: 1024, model: "", current: "",
           ...read(SETTINGS, {}) };
}

export function saveSettings(settings) {
  try {
    localStorage.setItem(SETTINGS, JSON.stringify(settings));
  } catch {
    // Not kept: the page works on with what it has.
  }
}
