// Model output to HTML that cannot run: Markdown through marked, then DOMPurify, with code
// highlighted by highlight.js. HTML the model writes is shown as the text it is (a chat about
// markup shows the markup, and no handler or style is ever parsed into the page); Markdown
// images become links, so nothing is fetched from where the model points. DOMPurify then
// checks what marked made: no scripts, handlers, styles or javascript: links; links open apart,
// without an opener.
import { Marked } from "marked";
import DOMPurify from "dompurify";
import hljs from "highlight.js/lib/core";
import bash from "highlight.js/lib/languages/bash";
import c from "highlight.js/lib/languages/c";
import cpp from "highlight.js/lib/languages/cpp";
import css from "highlight.js/lib/languages/css";
import diff from "highlight.js/lib/languages/diff";
import go from "highlight.js/lib/languages/go";
import java from "highlight.js/lib/languages/java";
import javascript from "highlight.js/lib/languages/javascript";
import json from "highlight.js/lib/languages/json";
import markdown from "highlight.js/lib/languages/markdown";
import python from "highlight.js/lib/languages/python";
import rust from "highlight.js/lib/languages/rust";
import sql from "highlight.js/lib/languages/sql";
import typescript from "highlight.js/lib/languages/typescript";
import xml from "highlight.js/lib/languages/xml";
import yaml from "highlight.js/lib/languages/yaml";

const languages = { bash, c, cpp, css, diff, go, java, javascript, json, markdown, python, rust,
                    sql, typescript, xml, yaml };
for (const [name, language] of Object.entries(languages)) {
  hljs.registerLanguage(name, language);
}

function escapeHtml(text) {
  return text.replace(/[&<>"']/g, (ch) => `&#${ch.charCodeAt(0)};`);
}

const marked = new Marked({
  gfm: true,
  renderer: {
    html({ text }) {
      return escapeHtml(text);
    },
    image({ href, text }) {
      return `<a href="${escapeHtml(href)}">${escapeHtml(text || href)}</a>`;
    },
    code({ text, lang }) {
      const language = (lang || "").split(/\s/)[0];
      const known = language && hljs.getLanguage(language);
      const body = known ? hljs.highlight(text, { language, ignoreIllegals: true }).value
                         : escapeHtml(text);
      const label = known ? ` language-${escapeHtml(language)}` : "";
      return `<pre><code class="hljs${label}">${body}</code></pre>`;
    },
  },
});

const purifier = DOMPurify(window);
purifier.addHook("afterSanitizeAttributes", (node) => {
  if (node.tagName === "A" && node.hasAttribute("href")) {
    node.setAttribute("target", "_blank");
    node.setAttribute("rel", "noopener noreferrer");
  }
});
const policy = {
  // Images would fetch from wherever the model points (and could carry the conversation away);
  // inline styles would be refused by the page's CSP anyway.
  FORBID_TAGS: ["img", "style", "form", "input", "button", "textarea", "select", "video",
                "audio", "source", "picture", "svg", "math", "iframe"],
  FORBID_ATTR: ["style", "srcset", "formaction"],
  ALLOW_DATA_ATTR: false,
  RETURN_DOM_FRAGMENT: true,
};

// A fragment holding `markdown` rendered safely, each code block with a copy button.
export function renderMarkdown(markdown) {
  const fragment = purifier.sanitize(marked.parse(markdown), policy);
  for (const pre of fragment.querySelectorAll("pre")) {
    const copy = document.createElement("button");
    copy.type = "button";
    copy.className = "copy";
    copy.textContent = "Copy";
    copy.addEventListener("click", async () => {
      try {
        await navigator.clipboard.writeText(pre.querySelector("code")?.textContent ?? "");
        copy.textContent = "Copied";
      } catch {
        copy.textContent = "Copy failed";
      }
      setTimeout(() => { copy.textContent = "Copy"; }, 1500);
    });
    pre.prepend(copy);
  }
  return fragment;
}
