# bash completion for zelvorsound-cli. Source it (". zelvorsound-cli.bash"), or put it where
# bash-completion looks for completions. The commands and options come from the program's
# own help, so they always match the program that is completed.

# The options of a command (or the common ones when none is given), one a line, each
# followed by " VALUE" when it takes a value.
_zelvorsound_cli_options() {
  "$1" help $2 2>/dev/null | awk '
    /^[A-Z][^:]*:$/ { inOptions = ($0 ~ /[Oo]ptions/); next }
    inOptions && (/^  -/ || /^      --/) {
      sub(/^ +/, ""); split($0, columns, /  +/); n = split(columns[1], words, /[ ,]+/)
      value = (words[n] !~ /^-/)
      for (i = 1; i <= n; i++) if (words[i] ~ /^-/) print words[i] (value ? " VALUE" : "")
    }'
}

_zelvorsound_cli() {
  local program=${COMP_WORDS[0]} current=${COMP_WORDS[COMP_CWORD]}
  local previous=${COMP_WORDS[COMP_CWORD-1]} command="" i word
  local -a options=() valued=()
  # The command is the first word that is neither an option nor an option's value.
  mapfile -t options < <(_zelvorsound_cli_options "$program" "")
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if [[ $word == -* ]]; then
      [[ " ${options[*]} " == *" $word VALUE "* ]] && ((i++))
    elif [[ $word != help || -n $command ]]; then
      command=$word
      break
    fi
  done
  [[ -n $command ]] && mapfile -t options < <(_zelvorsound_cli_options "$program" "$command")
  for word in "${options[@]}"; do [[ $word == *" VALUE" ]] && valued+=("${word% VALUE}"); done

  if [[ " ${valued[*]} " == *" $previous "* ]]; then
    case $previous in
      --folder) mapfile -t COMPREPLY < <(compgen -d -- "$current") ;;
      -o | --output) mapfile -t COMPREPLY < <(compgen -f -- "$current") ;;
      --coder) mapfile -t COMPREPLY < <(compgen -W "standard optimal" -- "$current") ;;
      --slot) [[ $command == say || $command == import ]] &&
        mapfile -t COMPREPLY < <(compgen -W "next" -- "$current") ;;
      *) COMPREPLY=() ;;
    esac
    compopt -o filenames 2>/dev/null
    return 0
  fi
  if [[ $current == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "${options[*]% VALUE}" -- "$current")
  elif [[ -z $command ]]; then
    local commands
    commands=$("$program" --help 2>/dev/null |
      awk '/^Commands:$/ { on = 1; next } /^$/ { on = 0 } on && /^  [^ ]/ { print $1 }')
    mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$current")
  else
    # The arguments are files: bash's own file name completion.
    COMPREPLY=()
    compopt -o default 2>/dev/null
  fi
  return 0
}

complete -F _zelvorsound_cli zelvorsound-cli
