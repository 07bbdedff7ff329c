// `kestrune serve` started for a test (KESTRUNE_CLI names the program): resolves, once the
// ready line comes, with the child, its address and a view of its standard error (`log`).
const { spawn } = require("node:child_process");
const readline = require("node:readline");

function startServe(args, { echoLog = false } = {}) {
  const child = spawn(process.env.KESTRUNE_CLI, ["serve", ...args],
                      { stdio: ["ignore", "pipe", "pipe"] });
  let log = "";
  child.stderr.on("data", (data) => {
    log += data;
    if (echoLog) process.stderr.write(data);
  });
  return new Promise((resolve, reject) => {
    readline.createInterface({ input: child.stdout }).once("line", (line) => {
      const match = /^Kestrune serving on (http:\/\/\S+)$/.exec(line);
      match ? resolve({ child, address: match[1], get log() { return log; } })
            : reject(new Error(`ready line: ${line}`));
    });
    child.once("exit", (code) => reject(new Error(`kestrune serve exited with ${code}`)));
  });
}

module.exports = { startServe };
