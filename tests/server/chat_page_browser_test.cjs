// The chat page in Debian's chromium, driven by playwright-core, against `kestrune serve` on
// the generated models: a question sent with Enter and answered by the bundled model's stream,
// a long answer stopped with Escape and its sequence freed at the server, the model switched,
// the conversation found again after a reload, stored model output holding markup rendered
// inert, the key asked for when the server wants one, no console errors, no request leaving
// the machine, and axe-core finding nothing serious at desktop and phone widths, light and dark.
// Run by ctest with KESTRUNE_CLI, KESTRUNE_MODELS and NODE_PATH set; KESTRUNE_SCREENSHOT, when
// set, names the PNG the desktop view is saved to.
"use strict";
const assert = require("node:assert/strict");
const fs = require("node:fs");
const { startServe } = require("../support/serve.cjs");

const CHROMIUM = "/usr/bin/chromium";
let playwright;
let axeSource;
try {
  playwright = require("playwright-core");
  axeSource = fs.readFileSync(require.resolve("axe-core/axe.min.js"), "utf8");
} catch {
  console.log("playwright-core or axe-core is not installed (scripts/setup --tools): skipped");
  process.exit(77);
}
if (!fs.existsSync(CHROMIUM)) {
  console.log("Debian's chromium is not installed (scripts/setup --tools): skipped");
  process.exit(77);
}

const MODELS = process.env.KESTRUNE_MODELS;
const BUNDLED = `${MODELS}/kestrune-tiny-chat.gguf`;
const LONG = `${MODELS}/throughput.gguf`;  // random weights: talks until max_tokens
const KEY = "page-test-key";
const TIMEOUT = 60_000;

// Starts the server; resolves with its address and a view of its log (standard error).
function startServer(args) {
  return startServe([BUNDLED, "--port", "0", "--models-dir", MODELS, ...args]);
}

async function until(condition, what) {
  const deadline = Date.now() + TIMEOUT;
  while (!condition()) {
    assert.ok(Date.now() < deadline, `timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

// A page that records console errors, uncaught exceptions and requests to other machines.
async function openPage(browser, address, options = {}) {
  const context = await browser.newContext({ viewport: { width: 1100, height: 720 }, ...options });
  const page = await context.newPage();
  page.setDefaultTimeout(TIMEOUT);  // a busy machine streams slowly
  page.problems = [];
  page.on("console", (message) => {
    if (message.type() === "error") {
      page.problems.push(`console: ${message.text()} at ${JSON.stringify(message.location())}`);
    }
  });
  page.on("pageerror", (error) => page.problems.push(`exception: ${error.message}`));
  page.on("request", (request) => {
    if (!request.url().startsWith(address)) {
      page.problems.push(`request left the machine: ${request.url()}`);
    }
  });
  await page.goto(address);
  return page;
}

async function seriousViolations(page) {
  await page.evaluate(axeSource);  // through the debugger: the page's CSP forbids inline scripts
  const results = await page.evaluate(() => window.axe.run());
  return results.violations.filter((v) => ["serious", "critical"].includes(v.impact))
    .map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(" ")).join(", ")}`);
}

const lastAnswer = ".message.assistant:last-of-type";

// The picker's entry for a model file: listed by its path or by the short name (the file name
// without .gguf) the server shows it by.
async function modelOption(page, file) {
  const name = file.slice(file.lastIndexOf("/") + 1, -".gguf".length);
  const values = await page.locator("#model option").evaluateAll((all) => all.map((o) => o.value));
  const value = values.find((v) => v === file || v === name);
  assert.ok(value, `${file} is not among the models listed: ${values}`);
  return value;
}

async function ask(page, question) {
  await page.locator("#prompt").fill(question);
  await page.locator("#prompt").press("Enter");
}

async function chatAndStop(page, server) {
  await page.waitForFunction(() => document.querySelectorAll("#model option").length >= 2);
  await page.locator("#toggle-settings").click();
  await page.locator("#temperature").fill("0");
  await page.locator("#temperature").dispatchEvent("change");
  const bundled = await modelOption(page, BUNDLED);
  const long = await modelOption(page, LONG);
  await page.locator("#model").selectOption(bundled);

  // Asked with Enter, answered by the bundled model's stream, rates underneath.
  await ask(page, "what is the cat doing?");
  await page.locator(`${lastAnswer} .stats`).filter({ hasText: "tokens/s" }).waitFor();
  const shown = (await page.locator(`${lastAnswer} .content`).innerText()).trim();
  const direct = await (await fetch(`${server.address}/v1/chat/completions`, {
    method: "POST",
    headers: { "Content-Type": "application/json" },
    body: JSON.stringify({ model: bundled, temperature: 0, max_tokens: 1024,
                           messages: [{ role: "user", content: "what is the cat doing?" }] }),
  })).json();
  assert.ok(shown.length > 0);
  assert.equal(shown, direct.choices[0].message.content.trim());
  const stats = await page.locator(`${lastAnswer} .stats`).innerText();
  assert.match(stats, new RegExp(`^${direct.usage.completion_tokens} tokens · [\\d.]+ tokens/s · ` +
                                 "first token [\\d.]+ s · prompt \\d+ tokens"), stats);
  assert.match(server.log, /POST \/v1\/chat\/completions 200 [1-9]\d* tokens/);

  // Another model, a long answer, stopped with Escape once it streams: the server's log line
  // for it comes at once, with far fewer tokens than were asked for.
  await page.locator("#model").selectOption(long);
  await page.locator("#max-tokens").fill("100000");
  await page.locator("#max-tokens").dispatchEvent("change");
  const linesBefore = server.log.split("\n").length;
  await ask(page, "tell me a long story");
  await page.locator("#stop").waitFor();
  await page.waitForFunction((s) => document.querySelector(`${s} .content`)?.textContent.length > 0,
                             lastAnswer);
  await page.keyboard.press("Escape");
  await page.locator(`${lastAnswer} .note`).filter({ hasText: "Stopped." }).waitFor();
  await until(() => /POST \/v1\/chat\/completions 200 (\d+) tokens/
                      .test(server.log.split("\n").slice(linesBefore - 1).join("\n")),
              "the stopped request's log line");
  const stopped = /POST \/v1\/chat\/completions 200 (\d+) tokens/
                    .exec(server.log.split("\n").slice(linesBefore - 1).join("\n"));
  assert.ok(Number(stopped[1]) < 2000, stopped[0]);
  assert.ok(await page.locator("#send").isVisible());

  const stored = await page.evaluate(() => JSON.parse(localStorage["kestrune.conversations"]));
  assert.equal(stored.length, 1);
  assert.deepEqual(stored[0].messages.map((m) => [m.role, m.model]),
                   [["user", undefined], ["assistant", bundled], ["user", undefined],
                    ["assistant", long]]);
}

async function reloadFindsConversation(page) {
  await page.reload();
  await page.locator("#conversations .title", { hasText: "what is the cat doing?" }).waitFor();
  assert.equal(await page.locator(".message.user .content").first().innerText(), "what is the cat doing?");
  assert.equal(await page.locator(".message.assistant").count(), 2);
  // Renamed and still there after another reload.
  await page.locator("#conversations button", { hasText: "Rename" }).click();
  await page.locator("#conversations input.rename").fill("Cats");
  await page.locator("#conversations input.rename").press("Enter");
  await page.reload();
  await page.locator("#conversations .title", { hasText: "Cats" }).waitFor();
  // Exported as the JSON the page keeps.
  const [download] = await Promise.all([page.waitForEvent("download"),
                                        page.locator("#export").click()]);
  const exported = JSON.parse(fs.readFileSync(await download.path(), "utf8"));
  assert.deepEqual(exported, await page.evaluate(() => JSON.parse(localStorage["kestrune.conversations"])));
  assert.equal(exported[0].title, "Cats");
}

// Stored model output goes through the very renderer a streamed answer does.
async function hostileAnswerIsInert(page) {
  const hostile = [
    "Look: <img src=x onerror=\"window.pwned='img'\"> and <script>window.pwned='script'</script>",
    "<a href=\"javascript:window.pwned='link'\">click</a> [docs](https://example.com/docs)",
    "<div onmouseover=\"window.pwned='div'\" style=\"position:fixed;inset:0\">cover</div>",
    "![tracker](https://example.com/pixel.png) [x](javascript:window.pwned='markdown')",
    "```js\nconst answer = 42;\n```",
  ].join("\n\n");
  await page.evaluate((content) => {
    const conversations = JSON.parse(localStorage["kestrune.conversations"]);
    conversations.push({ id: "hostile", title: "Hostile", updated: Date.now(),
                         messages: [{ role: "user", content: "hi" }, { role: "assistant", content }] });
    localStorage["kestrune.conversations"] = JSON.stringify(conversations);
    const settings = JSON.parse(localStorage["kestrune.settings"]);
    localStorage["kestrune.settings"] = JSON.stringify({ ...settings, current: "hostile" });
  }, hostile);
  await page.reload();
  const answer = page.locator(lastAnswer);
  await answer.locator("pre code.hljs").waitFor();
  await answer.locator("div", { hasText: "cover" }).last().hover();
  const found = await answer.evaluate((node) => ({
    pwned: window.pwned,
    dangerous: node.querySelectorAll("img, script, [onerror], [onmouseover], [style]").length,
    links: [...node.querySelectorAll("a")].map((a) => [a.getAttribute("href"), a.rel, a.target]),
    shownAsText: node.textContent.includes("<script>window.pwned='script'</script>"),
    copy: node.querySelectorAll("pre button.copy").length,
    highlighted: node.querySelectorAll("pre .hljs-keyword").length,
  }));
  assert.deepEqual(found, {
    pwned: undefined,
    dangerous: 0,
    links: [["https://example.com/docs", "noopener noreferrer", "_blank"],
            ["https://example.com/pixel.png", "noopener noreferrer", "_blank"], [null, "", ""]],
    shownAsText: true,
    copy: 1,
    highlighted: 1,
  });
  await page.locator("#conversations button", { hasText: "Delete" }).first().click();
  await page.reload();
  assert.deepEqual(await page.locator("#conversations .title").allInnerTexts(), ["Cats"]);
}

async function narrowScreen(browser, address) {
  const page = await openPage(browser, address, { viewport: { width: 360, height: 740 },
                                                  colorScheme: "dark" });
  await page.waitForFunction(() => document.querySelectorAll("#model option").length >= 2);
  // Shift+Enter breaks the line; Enter sends both lines.
  await page.locator("#prompt").fill("what is");
  await page.locator("#prompt").press("Shift+Enter");
  await page.locator("#prompt").pressSequentially("the cat doing?");
  assert.equal(await page.locator(".message").count(), 0);
  await page.locator("#prompt").press("Enter");
  await page.locator(`${lastAnswer} .stats`).waitFor();
  assert.equal(await page.locator(".message.user .content").innerText(), "what is\nthe cat doing?");
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 360));
  assert.ok(await page.locator("#prompt").isVisible());
  assert.ok(!(await page.locator("#sidebar").isVisible()));
  await page.locator("#toggle-sidebar").click();
  await page.locator("#sidebar").waitFor({ state: "visible" });
  assert.deepEqual(await seriousViolations(page), []);
  assert.deepEqual(page.problems, []);
  await page.context().close();
}

async function keyAskedFor(browser) {
  const server = await startServer(["--quiet", "--api-key", KEY]);
  try {
    const page = await openPage(browser, server.address);
    // A wrong key is said in words; the page asks again on the next load.
    await page.locator("#api-key").fill("wrong");
    await page.locator("#key-dialog button", { hasText: "Use key" }).click();
    await page.locator("#error", { hasText: "The server needs a valid API key" }).waitFor();
    await page.reload();
    await page.locator("#api-key").fill(KEY);
    await page.locator("#key-dialog button", { hasText: "Use key" }).click();
    await page.waitForFunction(() => document.querySelectorAll("#model option").length >= 1);
    await ask(page, "hello");
    await page.locator(`${lastAnswer} .stats`).filter({ hasText: "tokens" }).waitFor();
    assert.equal(await page.evaluate(() => sessionStorage["kestrune.apiKey"]), KEY);
    assert.equal(await page.evaluate((key) => JSON.stringify(localStorage).includes(key), KEY), false);
    // The browser reports the 401 that made the page ask; nothing else may go wrong.
    assert.deepEqual(page.problems.filter((p) => !/status of 401/.test(p)), []);
    await page.context().close();
  } finally {
    server.child.kill("SIGTERM");
  }
}

async function main() {
  const server = await startServer(["--parallel", "2", "--max-models", "2"]);
  if ((await fetch(server.address)).status === 404) {
    console.log("this kestrune was built without its chat page: skipped");
    server.child.kill("SIGTERM");
    process.exit(77);
  }
  // The second model is loaded first, so the picker lists two.
  await fetch(`${server.address}/v1/chat/completions`, {
    method: "POST",
    headers: { "Content-Type": "application/json" },
    body: JSON.stringify({ model: LONG, max_tokens: 1, messages: [{ role: "user", content: "hi" }] }),
  });
  const browser = await playwright.chromium.launch({ executablePath: CHROMIUM,
                                                     args: ["--no-sandbox"] });
  try {
    const page = await openPage(browser, server.address, { colorScheme: "light" });
    await chatAndStop(page, server);
    await reloadFindsConversation(page);
    await page.locator("#conversations .title", { hasText: "Cats" }).click();
    if (process.env.KESTRUNE_SCREENSHOT) {
      await page.screenshot({ path: process.env.KESTRUNE_SCREENSHOT });
    }
    assert.deepEqual(await seriousViolations(page), []);
    await hostileAnswerIsInert(page);
    assert.deepEqual(await seriousViolations(page), []);
    assert.deepEqual(page.problems, []);
    await page.context().close();
    await narrowScreen(browser, server.address);
    await keyAskedFor(browser);
  } finally {
    await browser.close();
    server.child.kill("SIGTERM");
  }
}

main().then(() => console.log("chat page: all checks passed"), (error) => {
  console.error(error);
  process.exit(1);
});
