# bash completion for cmi: commands, their subcommands and options, and file names where an
# option takes a file.
_cmi() {
  local cur prev words cword
  if declare -F _init_completion >/dev/null; then
    _init_completion || return
  else
    cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    words=("${COMP_WORDS[@]}") cword=$COMP_CWORD
  fi

  case $prev in
    --plugin)
      COMPREPLY=($(compgen -f -X '!*.so*' -- "$cur")) && compopt -o plusdirs 2>/dev/null
      return ;;
    --connection | --from)
      COMPREPLY=($(compgen -f -- "$cur"))
      return ;;
    --record | --version | --name | --trace-level | --trace-subsystem | --provider | --dbset | \
      --userdb | --user | --url | --default)
      return ;;
  esac

  if [ "$cword" -eq 1 ]; then
    COMPREPLY=($(compgen -W 'link unlink check run version creds option --help --version' -- "$cur"))
    return
  fi

  local opts=""
  case ${words[1]} in
    link | unlink)
      opts='--connection --record --version --name --from --trace-level --trace-subsystem --plugin --json --help' ;;
    check)
      opts='--connection --record --trace-level --trace-subsystem --plugin --json --help' ;;
    run)
      if [[ $cur != -* ]]; then
        COMPREPLY=($(compgen -f -- "$cur"))
        return
      fi
      opts='--plugin --help' ;;
    version) opts='--plugin --help' ;;
    creds)
      if [ "$cword" -eq 2 ]; then
        COMPREPLY=($(compgen -W 'add list remove' -- "$cur"))
        return
      fi
      case ${words[2]} in
        add) opts='--provider --dbset --userdb --user --url --password-stdin --help' ;;
        remove) opts='--provider --dbset --userdb --help' ;;
        list) opts='--json --help' ;;
        *) opts='--help' ;;
      esac ;;
    option)
      if [ "$cword" -eq 2 ]; then
        COMPREPLY=($(compgen -W 'get set' -- "$cur"))
        return
      fi
      case ${words[2]} in
        get) opts='--machine --default --help' ;;
        *) opts='--machine --help' ;;
      esac ;;
  esac
  [[ $cur == -* ]] && COMPREPLY=($(compgen -W "$opts" -- "$cur"))
}
complete -F _cmi cmi
