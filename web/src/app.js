// The chat page: conversations on the left, the chosen one on the right, a composer below.
// Answers stream from /v1/chat/completions; everything the page keeps stays in this browser.
import { ApiError, listModels, setApiKey, streamChat } from "./api.js";
import { renderMarkdown } from "./render.js";
import { loadConversations, loadSettings, newConversation, saveConversations, saveSettings,
         titleFrom } from "./store.js";

const $ = (id) => document.getElementById(id);
const ui = {
  sidebar: $("sidebar"), list: $("conversations"), newChat: $("new-chat"), exportAll: $("export"),
  toggleSidebar: $("toggle-sidebar"), model: $("model"), toggleSettings: $("toggle-settings"),
  settings: $("settings"), system: $("system"), temperature: $("temperature"),
  maxTokens: $("max-tokens"), messages: $("messages"), error: $("error"), composer: $("composer"),
  prompt: $("prompt"), send: $("send"), stop: $("stop"), keyDialog: $("key-dialog"),
  keyInput: $("api-key"),
};

const state = {
  conversations: loadConversations(),
  settings: loadSettings(),
  current: null,
  running: null,  // {controller, conversation} while an answer streams
};

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) {
    node.className = className;
  }
  if (text !== undefined) {
    node.textContent = text;
  }
  return node;
}

function showError(message) {
  ui.error.textContent = message;
  ui.error.hidden = !message;
}

function persist() {
  if (!saveConversations(state.conversations)) {
    showError("The browser's storage is full: this conversation is not kept.");
  }
  saveSettings({ ...state.settings, current: state.current?.id || "" });
}

// ---- the API key, asked for when the server answers 401 ----

function askForKey() {
  return new Promise((resolve) => {
    ui.keyInput.value = "";
    ui.keyDialog.addEventListener("close", () => {
      const given = ui.keyDialog.returnValue === "save" && ui.keyInput.value.trim();
      if (given) {
        setApiKey(given);
      }
      resolve(Boolean(given));
    }, { once: true });
    ui.keyDialog.showModal();
  });
}

// Runs `call`; on 401 asks for a key and tries once more with it.
async function withKey(call) {
  try {
    return await call();
  } catch (error) {
    if (error instanceof ApiError && error.status === 401 && await askForKey()) {
      return call();
    }
    throw error;
  }
}

// ---- models ----

function modelLabel(id) {
  // Paths are long: the file name says which model it is; the whole id is in the tooltip.
  return id.includes("/") ? id.slice(id.lastIndexOf("/") + 1) : id;
}

async function loadModels() {
  try {
    const models = await withKey(listModels);
    ui.model.replaceChildren(...models.map((model) => {
      const option = element("option", "", modelLabel(model.id));
      option.value = model.id;
      option.title = model.id;
      return option;
    }));
    if (models.length === 0) {
      showError("The server lists no models: start it with a model (kestrune serve MODEL).");
      return;
    }
    if (models.some((model) => model.id === state.settings.model)) {
      ui.model.value = state.settings.model;
    }
    state.settings.model = ui.model.value;
  } catch (error) {
    showError(`Cannot list the models. ${error.message}`);
  }
}

// ---- conversations ----

function selectConversation(conversation) {
  if (state.running && state.running.conversation !== conversation) {
    stopAnswer();
  }
  state.current = conversation;
  persist();
  renderList();
  renderMessages();
  ui.sidebar.classList.remove("open");
  ui.toggleSidebar.setAttribute("aria-expanded", "false");
}

function startRename(item, conversation) {
  const input = element("input", "rename");
  input.value = conversation.title;
  input.setAttribute("aria-label", "Conversation title");
  const finish = (keep) => {
    if (keep && input.value.trim()) {
      conversation.title = input.value.trim();
      persist();
    }
    renderList();
  };
  input.addEventListener("keydown", (event) => {
    if (event.key === "Enter") {
      finish(true);
    } else if (event.key === "Escape") {
      event.stopPropagation();
      finish(false);
    }
  });
  input.addEventListener("blur", () => finish(true), { once: true });
  item.replaceChildren(input);
  input.focus();
  input.select();
}

function deleteConversation(conversation) {
  if (state.running?.conversation === conversation) {
    stopAnswer();
  }
  state.conversations = state.conversations.filter((c) => c !== conversation);
  if (state.current === conversation) {
    state.current = state.conversations[0] || null;
  }
  persist();
  renderList();
  renderMessages();
}

function renderList() {
  const sorted = [...state.conversations].sort((a, b) => b.updated - a.updated);
  ui.list.replaceChildren(...sorted.map((conversation) => {
    const item = element("li", conversation === state.current ? "current" : "");
    const open = element("button", "title", conversation.title);
    open.type = "button";
    if (conversation === state.current) {
      open.setAttribute("aria-current", "true");
    }
    open.addEventListener("click", () => selectConversation(conversation));
    const rename = element("button", "small", "Rename");
    rename.type = "button";
    rename.setAttribute("aria-label", `Rename ${conversation.title}`);
    rename.addEventListener("click", () => startRename(item, conversation));
    const remove = element("button", "small", "Delete");
    remove.type = "button";
    remove.setAttribute("aria-label", `Delete ${conversation.title}`);
    remove.addEventListener("click", () => deleteConversation(conversation));
    item.append(open, rename, remove);
    return item;
  }));
}

function exportConversations() {
  const blob = new Blob([JSON.stringify(state.conversations, null, 2)],
                        { type: "application/json" });
  const link = element("a");
  link.href = URL.createObjectURL(blob);
  link.download = `kestrune-conversations-${new Date().toISOString().slice(0, 10)}.json`;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 1000);
}

// ---- messages ----

function formatRate(value) {
  return value >= 100 ? value.toFixed(0) : value.toFixed(1);
}

// "24 tokens · 85.3 tokens/s · first token 0.12 s · prompt 31 tokens, 258 tokens/s": the
// server's timings where it sent them, else what the page measured.
function statsText(stats) {
  const parts = [`${stats.tokens} ${stats.tokens === 1 ? "token" : "tokens"}`];
  if (stats.generationRate) {
    parts.push(`${formatRate(stats.generationRate)} tokens/s`);
  }
  if (stats.firstTokenSeconds !== undefined) {
    parts.push(`first token ${stats.firstTokenSeconds.toFixed(2)} s`);
  }
  if (stats.promptTokens) {
    const rate = stats.promptRate ? `, ${formatRate(stats.promptRate)} tokens/s` : "";
    parts.push(`prompt ${stats.promptTokens} tokens${rate}`);
  }
  return parts.join(" · ");
}

function measure(clock, result) {
  const end = performance.now();
  const usage = result.usage || {};
  const timings = result.timings || {};
  const tokens = usage.completion_tokens ?? clock.pieces;
  const firstTokenSeconds = clock.first ? (clock.first - clock.start) / 1000 : undefined;
  const streamingSeconds = clock.first ? (end - clock.first) / 1000 : 0;
  return {
    tokens,
    promptTokens: usage.prompt_tokens,
    firstTokenSeconds,
    generationRate: timings.predicted_per_second ||
                    (streamingSeconds > 0 && tokens > 1 ? (tokens - 1) / streamingSeconds : 0),
    promptRate: timings.prompt_per_second ||
                (usage.prompt_tokens && firstTokenSeconds ? usage.prompt_tokens / firstTokenSeconds : 0),
  };
}

function describeToolCalls(calls) {
  return calls.map((call) => `${call.function?.name || "tool"}(${call.function?.arguments || ""})`)
    .join("\n");
}

// Draws one assistant message's parts into `view` (reasoning folded, answer, tool calls, rates).
function fillAnswer(view, message) {
  view.reasoning.hidden = !message.reasoning;
  view.reasoningText.textContent = message.reasoning || "";
  view.content.replaceChildren(renderMarkdown(message.content || ""));
  view.tools.hidden = !message.toolCalls?.length;
  view.toolsText.textContent = message.toolCalls ? describeToolCalls(message.toolCalls) : "";
  view.stats.textContent = message.stats ? statsText(message.stats) : "";
  view.note.textContent = message.note || "";
  view.note.hidden = !message.note;
}

function messageView(message) {
  const article = element("article", `message ${message.role}`);
  article.append(element("h3", "visually-hidden", message.role === "user" ? "You" : "Answer"));
  if (message.role === "user") {
    article.append(element("div", "content plain", message.content));
    return { article };
  }
  const reasoning = element("details", "reasoning");
  reasoning.append(element("summary", "", "Reasoning"));
  const reasoningText = element("div", "plain");
  reasoning.append(reasoningText);
  const tools = element("details", "tools");
  tools.append(element("summary", "", "Tool calls"));
  const toolsText = element("pre", "plain");
  tools.append(toolsText);
  const view = { article, reasoning, reasoningText, tools, toolsText,
                 content: element("div", "content"), stats: element("p", "stats"),
                 note: element("p", "note") };
  article.append(reasoning, view.content, tools, view.note, view.stats);
  fillAnswer(view, message);
  return view;
}

function lastActions(conversation) {
  const actions = element("div", "message-actions");
  const regenerate = element("button", "small", "Regenerate");
  regenerate.type = "button";
  regenerate.addEventListener("click", () => {
    if (conversation.messages.at(-1)?.role === "assistant") {
      conversation.messages.pop();
    }
    answer(conversation);
  });
  const edit = element("button", "small", "Edit question");
  edit.type = "button";
  edit.addEventListener("click", () => {
    const index = conversation.messages.findLastIndex((m) => m.role === "user");
    ui.prompt.value = conversation.messages[index].content;
    conversation.messages.splice(index);
    persist();
    renderMessages();
    ui.prompt.focus();
  });
  actions.append(regenerate, edit);
  return actions;
}

function renderMessages() {
  const conversation = state.current;
  const views = (conversation?.messages || []).map(messageView);
  ui.messages.replaceChildren(...views.map((view) => view.article));
  if (conversation?.messages.some((m) => m.role === "user") && !state.running) {
    ui.messages.append(lastActions(conversation));
  }
  ui.messages.scrollTop = ui.messages.scrollHeight;
  return views;
}

function setRunning(running) {
  state.running = running;
  ui.send.hidden = Boolean(running);
  ui.stop.hidden = !running;
}

function stopAnswer() {
  state.running?.controller.abort();
}

// What the server is sent: the system prompt, then the conversation's questions and answers.
function chatRequest(conversation) {
  const messages = [];
  if (state.settings.system.trim()) {
    messages.push({ role: "system", content: state.settings.system });
  }
  for (const message of conversation.messages) {
    if (message.role === "user" || message.content) {
      messages.push({ role: message.role, content: message.content });
    }
  }
  const request = { model: ui.model.value, messages };
  // An empty or unusable field leaves the choice to the server.
  const temperature = Number.parseFloat(state.settings.temperature);
  const maxTokens = Number.parseInt(state.settings.maxTokens, 10);
  if (temperature >= 0) {
    request.temperature = temperature;
  }
  if (maxTokens > 0) {
    request.max_tokens = maxTokens;
  }
  return request;
}

async function answer(conversation) {
  if (!ui.model.value) {
    showError("No model to answer: the server lists none.");
    return;
  }
  showError("");
  const request = chatRequest(conversation);
  const message = { role: "assistant", content: "", model: request.model };
  conversation.messages.push(message);
  conversation.updated = Date.now();
  const controller = new AbortController();
  setRunning({ controller, conversation });
  const view = renderMessages().at(-1);
  const clock = { start: performance.now(), first: 0, pieces: 0 };
  let drawing = 0;
  const redraw = () => {
    drawing = drawing || requestAnimationFrame(() => {
      drawing = 0;
      fillAnswer(view, message);
      ui.messages.scrollTop = ui.messages.scrollHeight;
    });
  };
  try {
    const result = await withKey(() => streamChat(request, controller.signal, (piece) => {
      clock.first = clock.first || performance.now();
      clock.pieces += 1;
      message.content += piece.content || "";
      message.reasoning = (message.reasoning || "") + (piece.reasoning || "");
      if (piece.toolCalls) {
        message.toolCalls = mergeToolCalls(message.toolCalls || [], piece.toolCalls);
      }
      redraw();
    }));
    message.stats = measure(clock, result);
    if (result.finishReason === "length") {
      message.note = "The answer reached the maximum number of tokens.";
    }
  } catch (error) {
    if (error.name === "AbortError") {
      message.note = "Stopped.";
      message.stats = measure(clock, {});
    } else {
      message.note = error.message;
      showError(error.message);
    }
  } finally {
    cancelAnimationFrame(drawing);
    setRunning(null);
    persist();
    if (state.current === conversation) {
      renderMessages();
    }
  }
}

// Streamed tool calls come in pieces keyed by index: names once, arguments in parts.
function mergeToolCalls(calls, pieces) {
  for (const piece of pieces) {
    const index = piece.index ?? calls.length;
    const call = calls[index] || (calls[index] = { id: piece.id, type: "function",
                                                   function: { name: "", arguments: "" } });
    call.function.name += piece.function?.name || "";
    call.function.arguments += piece.function?.arguments || "";
  }
  return calls;
}

function sendPrompt() {
  const text = ui.prompt.value;
  if (!text.trim() || state.running) {
    return;
  }
  if (!state.current) {
    state.current = newConversation();
    state.conversations.push(state.current);
  }
  const conversation = state.current;
  if (!conversation.messages.length) {
    conversation.title = titleFrom(text);
  }
  conversation.messages.push({ role: "user", content: text });
  ui.prompt.value = "";
  renderList();
  answer(conversation);
}

// ---- settings and wiring ----

function bindSettings() {
  ui.system.value = state.settings.system;
  ui.temperature.value = state.settings.temperature;
  ui.maxTokens.value = state.settings.maxTokens;
  const update = () => {
    state.settings.system = ui.system.value;
    state.settings.temperature = ui.temperature.value;
    state.settings.maxTokens = ui.maxTokens.value;
    state.settings.model = ui.model.value;
    persist();
  };
  for (const input of [ui.system, ui.temperature, ui.maxTokens, ui.model]) {
    input.addEventListener("change", update);
  }
}

function toggle(button, target) {
  button.addEventListener("click", () => {
    const open = button.getAttribute("aria-expanded") !== "true";
    button.setAttribute("aria-expanded", String(open));
    if (target === ui.sidebar) {
      target.classList.toggle("open", open);
    } else {
      target.hidden = !open;
    }
  });
}

function bindEvents() {
  ui.composer.addEventListener("submit", (event) => {
    event.preventDefault();
    sendPrompt();
  });
  ui.prompt.addEventListener("keydown", (event) => {
    if (event.key === "Enter" && !event.shiftKey && !event.isComposing) {
      event.preventDefault();
      sendPrompt();
    }
  });
  document.addEventListener("keydown", (event) => {
    if (event.key === "Escape" && state.running) {
      event.preventDefault();
      stopAnswer();
    }
  });
  ui.stop.addEventListener("click", stopAnswer);
  ui.newChat.addEventListener("click", () => {
    // An empty conversation is reused rather than listed twice.
    let conversation = state.conversations.find((c) => c.messages.length === 0);
    if (!conversation) {
      conversation = newConversation();
      state.conversations.push(conversation);
    }
    selectConversation(conversation);
    ui.prompt.focus();
  });
  ui.exportAll.addEventListener("click", exportConversations);
  toggle(ui.toggleSidebar, ui.sidebar);
  toggle(ui.toggleSettings, ui.settings);
}

function start() {
  state.current = state.conversations.find((c) => c.id === state.settings.current) ||
                  state.conversations.at(-1) || null;
  bindSettings();
  bindEvents();
  renderList();
  renderMessages();
  loadModels();
}

start();
